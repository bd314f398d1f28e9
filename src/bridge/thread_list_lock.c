// The lock of the interpreters' thread lists, which CPython holds whenever it adds a thread state
// to a list or takes one out. Threads of C extensions do that without the interpreter lock (a state
// made by PyGILState_Ensure, one freed by PyThreadState_Delete), so holding the interpreter lock
// alone does not keep a list still while it is read.
//
// The lock is a field of the runtime's own state, which only the release's internal headers
// describe. They are C11 that C++ does not compile, hence this file in C.
#define Py_BUILD_CORE 1
#include "bridge/thread_list_lock.h"

#include <Python.h>
#include <sched.h>

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030F0000
#include "internal/pycore_runtime.h"
#define SCRIPT_MENU_LIST_LOCK_MUTEX 1
#elif PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030D0000
#include "internal/pycore_runtime.h"
#define SCRIPT_MENU_LIST_LOCK_THREAD_LOCK 1
#elif PY_VERSION_HEX >= 0x03080000 && PY_VERSION_HEX < 0x03090000
#include "internal/pycore_pystate.h"
#define SCRIPT_MENU_LIST_LOCK_THREAD_LOCK 1
#elif PY_VERSION_HEX >= 0x03070000 && PY_VERSION_HEX < 0x03080000
#include "internal/pystate.h"
#define SCRIPT_MENU_LIST_LOCK_THREAD_LOCK 1
#endif
// 3.6 keeps the lock in a static variable of its own, out of reach; and the layout of a release
// after 3.14 is not known here. On those the lists are read under the interpreter lock only.

// As CPython takes it: keeping the interpreter lock, which a thread holding this one never asks
// for, so that neither waits for the other. From 3.13 the lock is a PyMutex, which is taken here
// as its own fast path takes it, by setting its locked bit, since the call that would wait
// without giving up the interpreter lock is not exported by every release. It is held for only as
// long as a thread state takes to add or remove.
void LockThreadList(void) {
#if defined(SCRIPT_MENU_LIST_LOCK_MUTEX)
  PyMutex* lock = &_PyRuntime.interpreters.mutex;
  for (;;) {
    uint8_t bits = __atomic_load_n(&lock->_bits, __ATOMIC_RELAXED);
    if ((bits & _Py_LOCKED) == 0 &&
        __atomic_compare_exchange_n(&lock->_bits, &bits, (uint8_t)(bits | _Py_LOCKED), 0,
                                    __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
      return;
    }
    sched_yield();
  }
#elif defined(SCRIPT_MENU_LIST_LOCK_THREAD_LOCK)
  PyThread_acquire_lock(_PyRuntime.interpreters.mutex, WAIT_LOCK);
#endif
}

void UnlockThreadList(void) {
#if defined(SCRIPT_MENU_LIST_LOCK_MUTEX)
  PyMutex_Unlock(&_PyRuntime.interpreters.mutex);
#elif defined(SCRIPT_MENU_LIST_LOCK_THREAD_LOCK)
  PyThread_release_lock(_PyRuntime.interpreters.mutex);
#endif
}
