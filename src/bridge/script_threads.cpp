#include "bridge/script_threads.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
#include <thread>

namespace {

// A new reference of the C API's, released as it goes out of scope; empty where the call failed.
using Owned = std::unique_ptr<PyObject, void (*)(PyObject*)>;
Owned Own(PyObject* new_reference) { return {new_reference, Py_DecRef}; }

// Set from the exit functions on: the threads the shut-down waits for have ended (or Ctrl-C has
// cut the wait short), so no thread may start another.
bool all_starts_refused = false;

// Set by the exit function that runs first when a non-daemon thread is still running then.
bool wait_cut_short = false;

// From the exit function that runs last until the next interpreter has started: a thread that
// calls into Python through PyGILState_Ensure, other than the one that shuts the interpreter down,
// is held there.
std::atomic<bool> callers_held{false};
std::atomic<int> callers_entering{0};  // on their way in past the check
pid_t shut_down_thread = 0;

// Noted by the exit function that runs last: how many of _thread's threads still run (-1 when
// that function did not run).
long threads_running_at_exit = -1;

// The threading module, if the script has imported it; borrowed.
PyObject* ImportedThreading() {
  return PyDict_GetItemString(PyImport_GetModuleDict(), "threading");
}

// Whether the calling thread is one the shut-down does not wait for: a daemon thread, or one that
// _thread started, which threading takes for a daemon. If that cannot be told, it counts as one.
bool CallingThreadIsDaemon() {
  PyObject* threading = ImportedThreading();  // borrowed
  if (threading == nullptr) {
    return true;  // threading would have started the main thread's peers; _thread started it
  }
  const Owned current = Own(PyObject_CallMethod(threading, "current_thread", nullptr));
  const Owned daemon = Own(current ? PyObject_GetAttrString(current.get(), "daemon") : nullptr);
  const int is_daemon = daemon ? PyObject_IsTrue(daemon.get()) : -1;
  if (is_daemon == -1) {
    PyErr_Clear();
  }
  return is_daemon != 0;
}

// Stands in for `original`, a function that starts threads, once a call has ended. A thread the
// shut-down does not wait for that asks for a new one is ended instead, by a SystemExit, quietly,
// as the shut-down would end it a moment later: before 3.12 the new thread can crash the shut-down,
// and 3.12's RuntimeError report races its flush of standard error. Others start theirs as before,
// until the exit functions.
PyObject* StartThreadOrEndCaller(PyObject* original, PyObject* arguments, PyObject* keywords) {
  if (all_starts_refused || CallingThreadIsDaemon()) {
    PyErr_SetNone(PyExc_SystemExit);
    return nullptr;
  }
  return PyObject_Call(original, arguments, keywords);
}

PyMethodDef start_thread_or_end_caller = {
    "start_thread_or_end_caller",
    // The calling convention's own cast.
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(StartThreadOrEndCaller)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

// Puts the stand-in in place of `owner`.<name>. A method of a class gets it as a method, bound to
// the instance it is called on, as the original was. Where that fails, threads start as before.
void ReplaceWithStandIn(PyObject* owner, const char* name, bool method) {
  const Owned original = Own(PyObject_GetAttrString(owner, name));
  // Holds a reference to the original; and as a method, the method holds the function.
  Owned stand_in =
      Own(original ? PyCFunction_New(&start_thread_or_end_caller, original.get()) : nullptr);
  if (stand_in && method) {
    stand_in = Own(PyInstanceMethod_New(stand_in.get()));
  }
  if (!stand_in || PyObject_SetAttrString(owner, name, stand_in.get()) != 0) {
    PyErr_Clear();
  }
}

// How many threads started by _thread (threading's too) have begun to run their function.
long ThreadsThatHaveRun() {
  const Owned thread_module = Own(PyImport_ImportModule("_thread"));
  const Owned count =
      Own(thread_module ? PyObject_CallMethod(thread_module.get(), "_count", nullptr) : nullptr);
  const long running = count ? PyLong_AsLong(count.get()) : -1;
  if (running == -1) {
    PyErr_Clear();
    return LONG_MAX;  // cannot tell: none is waited for
  }
  return running;
}

// Holds the threads that call into Python from now on, once those already on their way in have
// made their thread states, which the shut-down then knows (within a bound: one may never get in).
void HoldCallers() {
  shut_down_thread = gettid();
  callers_held.store(true);
  Py_BEGIN_ALLOW_THREADS  // they may wait for the interpreter lock
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (callers_entering.load() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  Py_END_ALLOW_THREADS
}

PyObject* RefuseThreadStarts(PyObject* /*module*/, PyObject* /*no_arguments*/) {
  all_starts_refused = true;
  threads_running_at_exit = ThreadsThatHaveRun();
  HoldCallers();
  Py_RETURN_NONE;
}

PyMethodDef refuse_thread_starts = {"refuse_thread_starts", RefuseThreadStarts, METH_NOARGS,
                                    nullptr};

// Whether a thread of threading's, besides the main one, that is no daemon is still running.
bool NonDaemonThreadRunning() {
  PyObject* threading = ImportedThreading();  // borrowed
  if (threading == nullptr) {
    return false;
  }
  const Owned main = Own(PyObject_CallMethod(threading, "main_thread", nullptr));
  const Owned threads = Own(PyObject_CallMethod(threading, "enumerate", nullptr));
  const Owned listed =
      Own(main && threads ? PySequence_Fast(threads.get(), "threading.enumerate() gave no sequence")
                          : nullptr);
  bool running = false;
  for (Py_ssize_t i = 0; listed && i < PySequence_Fast_GET_SIZE(listed.get()) && !running; ++i) {
    PyObject* thread = PySequence_Fast_GET_ITEM(listed.get(), i);  // borrowed
    if (thread != main.get()) {
      const Owned daemon = Own(PyObject_GetAttrString(thread, "daemon"));
      running = daemon && PyObject_Not(daemon.get()) == 1;
    }
  }
  PyErr_Clear();  // what cannot be told counts as none
  return running;
}

PyObject* NoteWhetherTheWaitWasCutShort(PyObject* /*module*/, PyObject* /*no_arguments*/) {
  wait_cut_short = NonDaemonThreadRunning();
  Py_RETURN_NONE;
}

PyMethodDef note_whether_the_wait_was_cut_short = {
    "note_whether_the_wait_was_cut_short", NoteWhetherTheWaitWasCutShort, METH_NOARGS, nullptr};

// Registers a C function as an exit function. If it cannot be, the call goes on without it.
void RegisterExitFunction(PyMethodDef* definition) {
  const Owned atexit = Own(PyImport_ImportModule("atexit"));
  const Owned callback = Own(atexit ? PyCFunction_New(definition, nullptr) : nullptr);
  const Owned result =
      Own(callback ? PyObject_CallMethod(atexit.get(), "register", "O", callback.get()) : nullptr);
  if (!result) {
    PyErr_Clear();
  }
}

#ifndef Py_GIL_DISABLED

// Whether a thread started a moment ago has yet to begin running: a thread state besides ours with
// no Python frame, where more states are listed than threads have begun. (A thread that runs a C
// function of its own, such as time.sleep, has no frame either, but is counted as begun.) Only
// under the interpreter lock can another thread's state be read while that thread runs.
bool ThreadsYetToRun() {
  PyThreadState* self = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x03090000
  PyInterpreterState* interpreter = PyThreadState_GetInterpreter(self);
#else
  PyInterpreterState* interpreter = self->interp;
#endif
  long states = 0;
  long frameless = 0;
  for (PyThreadState* state = PyInterpreterState_ThreadHead(interpreter); state != nullptr;
       state = PyThreadState_Next(state)) {
    if (state == self) {
      continue;
    }
    ++states;
#if PY_VERSION_HEX >= 0x03090000
    PyFrameObject* frame = PyThreadState_GetFrame(state);  // new, if any
    frameless += frame == nullptr ? 1 : 0;
    Py_XDECREF(frame);
#else
    frameless += state->frame == nullptr ? 1 : 0;
#endif
  }
  return frameless > 0 && states > ThreadsThatHaveRun();
}

#endif

}  // namespace

void LetNewThreadsRun() {
  // A free-threaded build has no lock under which to read the other threads' states, and needs
  // none: these builds (3.13 on) end a thread that begins only once the shut-down has begun
  // (thread_run in Modules/_threadmodule.c).
#ifndef Py_GIL_DISABLED
  // How long threads started just before the end of a call get to begin running.
  constexpr std::chrono::milliseconds kThreadStartBound{1000};
  const auto deadline = std::chrono::steady_clock::now() + kThreadStartBound;
  while (ThreadsYetToRun() && std::chrono::steady_clock::now() < deadline) {
    Py_BEGIN_ALLOW_THREADS
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    Py_END_ALLOW_THREADS
  }
#endif
}

void StopThreadsAtLastExitFunction() {
  all_starts_refused = false;
  threads_running_at_exit = -1;
  RegisterExitFunction(&refuse_thread_starts);
}

void PutThreadStartStandInsInPlace() {
  PyObject* thread_module = PyDict_GetItemString(PyImport_GetModuleDict(), "_thread");  // borrowed
  if (thread_module != nullptr) {
    ReplaceWithStandIn(thread_module, "start_new_thread", false);
  }
  PyObject* threading = ImportedThreading();  // borrowed
  const Owned thread_class =
      Own(threading != nullptr ? PyObject_GetAttrString(threading, "Thread") : nullptr);
  if (thread_class) {
    ReplaceWithStandIn(thread_class.get(), "start", true);
  }
  PyErr_Clear();  // no Thread: nothing to stand in for
}

void NoteCutShortWaitAtFirstExitFunction() {
  wait_cut_short = false;
  RegisterExitFunction(&note_whether_the_wait_was_cut_short);
}

bool ShutDownWaitCutShort() { return wait_cut_short; }

long PythonThreadsRunningAtExit() { return threads_running_at_exit; }

void LetThreadsCallIn() { callers_held.store(false); }

// A C library's own thread, with no thread state of the interpreter's, calls into Python through
// these two (ctypes' callbacks, most bindings' threads). Once the shut-down has begun, CPython
// holds the threads it knows for good, but lets such a thread make or end a state beside it: the
// free-threaded build then hangs or crashes, and 3.14 with the lock reports a fatal error. Held
// here instead, out of the interpreter, it ends with the fresh image that follows.

namespace {

#ifdef SCRIPT_MENU_INTERPRETER_LINKED_IN
}  // namespace

// With the interpreter linked in, its own two are renamed in the program's copy of its library
// (CMakeLists.txt), so that these stand in for them.
extern "C" PyGILState_STATE script_menu_interpreters_PyGILState_Ensure();
extern "C" void script_menu_interpreters_PyGILState_Release(PyGILState_STATE state);

namespace {

PyGILState_STATE InterpretersEnsure() { return script_menu_interpreters_PyGILState_Ensure(); }

void InterpretersRelease(PyGILState_STATE state) {
  script_menu_interpreters_PyGILState_Release(state);
}
#else
// The shared library's own, which the program's are found before.
template <typename Function>
Function NextDefinition(const char* name) {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym gives an address
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

PyGILState_STATE InterpretersEnsure() {
  static const auto ensure = NextDefinition<PyGILState_STATE (*)()>("PyGILState_Ensure");
  return ensure();
}

void InterpretersRelease(PyGILState_STATE state) {
  static const auto release = NextDefinition<void (*)(PyGILState_STATE)>("PyGILState_Release");
  release(state);
}
#endif

bool CallerHeld() { return callers_held.load() && gettid() != shut_down_thread; }

[[noreturn]] void HoldForGood() {
  for (;;) {
    pause();
  }
}

}  // namespace

extern "C" PyGILState_STATE PyGILState_Ensure() {
  ++callers_entering;  // before the check, so that HoldCallers waits for this caller, or it is held
  if (CallerHeld()) {
    --callers_entering;
    HoldForGood();
  }
  const PyGILState_STATE state = InterpretersEnsure();
  --callers_entering;
  return state;
}

extern "C" void PyGILState_Release(PyGILState_STATE state) {
  if (CallerHeld()) {
    (void)PyEval_SaveThread();  // out of the interpreter, which can then shut down
    HoldForGood();
  }
  InterpretersRelease(state);
}
