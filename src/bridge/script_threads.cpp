#include "bridge/script_threads.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The noted threads, by their CPU-time clocks: the kernel drops a thread's clock when the thread
// ends, so the clock tells whether it has ended without touching any memory of the thread's.
std::vector<clockid_t> noted_threads;

[[noreturn]] void ExitOnThreadLeftRunning() {
  std::fprintf(stderr,
               "script-menu: a thread that PythonCode started is still running after its call "
               "ended, and no further call can start safely; make PythonCode end its threads "
               "before its functions return\n");
  std::exit(EXIT_FAILURE);
}

// The running interpreter's thread states, ours excepted.
std::vector<PyThreadState*> OtherThreadStates() {
  PyThreadState* self = PyThreadState_Get();
  std::vector<PyThreadState*> states;
  for (PyThreadState* state = PyInterpreterState_ThreadHead(self->interp); state != nullptr;
       state = PyThreadState_Next(state)) {
    if (state != self) {
      states.push_back(state);
    }
  }
  return states;
}

// A thread that has only just been started may not have taken its thread state over yet: the
// state's ids are then still 0 or its creator's, and tell nothing of the thread. It writes them
// one after the other, so each is asked.
bool Unclaimed(const PyThreadState* state) {
  const PyThreadState* self = PyThreadState_Get();
  if (state->thread_id == 0 || state->thread_id == self->thread_id) {
    return true;
  }
#if PY_VERSION_HEX >= 0x030B0000
  return state->native_thread_id == 0 || state->native_thread_id == self->native_thread_id;
#else
  return false;
#endif
}

bool AllThreadsStarted(const std::vector<PyThreadState*>& states) {
  std::vector<unsigned long> ids;
  for (const PyThreadState* state : states) {
    if (Unclaimed(state)) {
      return false;
    }
    ids.push_back(state->thread_id);
  }
  std::sort(ids.begin(), ids.end());
  return std::adjacent_find(ids.begin(), ids.end()) == ids.end();
}

// The CPU-time clock of the thread that a state belongs to; false if that thread has ended.
bool ThreadClock(const PyThreadState* state, clockid_t& clock) {
#if PY_VERSION_HEX >= 0x030B0000
  // Made from the kernel's id of the thread, as the kernel makes a thread's clock id (~tid << 3,
  // then 4 for one thread and 2 for its scheduled time), so that nothing of a thread that may have
  // ended without giving its state up is ever touched.
  constexpr unsigned kThreadSchedulingClock = 4U | 2U;
  clock = static_cast<clockid_t>((~static_cast<unsigned>(state->native_thread_id) << 3U) |
                                 kThreadSchedulingClock);
  timespec unused{};
  return clock_gettime(clock, &unused) == 0;
#else
  // The thread is running: one that ends gives its state up first, which takes the lock we hold.
  return pthread_getcpuclockid(static_cast<pthread_t>(state->thread_id), &clock) == 0;
#endif
}

PyObject* NoteScriptThreadsCallback(PyObject* /*module*/, PyObject* /*no_arguments*/) {
  NoteScriptThreads();
  Py_RETURN_NONE;
}

PyMethodDef note_script_threads = {"note_script_threads", NoteScriptThreadsCallback, METH_NOARGS,
                                   nullptr};

}  // namespace

// Exit functions run last-registered first, so this one, registered before the module is
// imported, runs after any of the script's own.
void NoteScriptThreadsAtExit() {
  PyObject* atexit = PyImport_ImportModule("atexit");  // new
  PyObject* callback = nullptr;                        // new, once atexit is there
  PyObject* result = nullptr;                          // new
  if (atexit != nullptr) {
    callback = PyCFunction_New(&note_script_threads, nullptr);
  }
  if (callback != nullptr) {
    result = PyObject_CallMethod(atexit, "register", "O", callback);
  }
  if (result == nullptr) {
    PyErr_Clear();  // the note taken just before the shut-down is still made
  }
  Py_XDECREF(result);
  Py_XDECREF(callback);
  Py_XDECREF(atexit);
}

void NoteScriptThreads() {
  const auto deadline = Clock::now() + kThreadEndBound;
  std::vector<PyThreadState*> states = OtherThreadStates();
  while (!AllThreadsStarted(states) && Clock::now() < deadline) {
    Py_BEGIN_ALLOW_THREADS  // lets a new thread run up to taking its state over
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    Py_END_ALLOW_THREADS
    states = OtherThreadStates();
  }
  for (const PyThreadState* state : states) {
    clockid_t clock = 0;
    // A state still unclaimed by now belongs to no thread that will run: one an extension made
    // and left, or one whose thread never started.
    if (!Unclaimed(state) && ThreadClock(state, clock) &&
        std::find(noted_threads.begin(), noted_threads.end(), clock) == noted_threads.end()) {
      noted_threads.push_back(clock);
    }
  }
}

void AwaitScriptThreads() {
  if (noted_threads.empty()) {
    return;
  }
#if PY_VERSION_HEX < 0x03090000
  // 3.8 shuts down still holding the interpreter lock, and a thread waiting for the lock learns
  // that it has to end only once it has it. Each such thread passes the lock on as it ends.
  PyEval_ReleaseLock();
#endif
  const auto deadline = Clock::now() + kThreadEndBound;
  auto pause = std::chrono::microseconds(20);
  for (;;) {
    noted_threads.erase(std::remove_if(noted_threads.begin(), noted_threads.end(),
                                       [](clockid_t clock) {
                                         timespec unused{};
                                         return clock_gettime(clock, &unused) != 0;  // ended
                                       }),
                        noted_threads.end());
    if (noted_threads.empty()) {
      return;
    }
    if (Clock::now() >= deadline) {
      ExitOnThreadLeftRunning();
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(5000));
  }
}
