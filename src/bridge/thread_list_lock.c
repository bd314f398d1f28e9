// The lock of the interpreters' thread lists, which CPython holds whenever it adds a thread state to
// a list or takes one out. Threads of C extensions do that without the interpreter lock (a state
// made by PyGILState_Ensure, one freed by PyThreadState_Delete), so holding the interpreter lock
// alone does not keep a list still while it is read.
//
// The lock is a field of the runtime's own state, which only the release's internal headers
// describe. They are C11 that C++ does not compile, hence this file in C.
#define Py_BUILD_CORE 1
#include <Python.h>

#include "bridge/thread_list_lock.h"

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

// As CPython takes it: with the interpreter lock kept, which a thread holding this one never asks
// for, so that neither waits for the other.
void LockThreadList(void) {
#if defined(SCRIPT_MENU_LIST_LOCK_MUTEX)
  PyMutex_LockFlags(&_PyRuntime.interpreters.mutex, _Py_LOCK_DONT_DETACH);
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
