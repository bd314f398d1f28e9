#include "bridge/script_threads.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bridge/thread_list_lock.h"

namespace {

using Clock = std::chrono::steady_clock;

// The noted threads: the kernel's id of each, and when it was last noted. The kernel id tells
// whether the thread has ended, or is parked, without touching any memory of the interpreter's.
std::vector<std::pair<pid_t, Clock::time_point>> noted_threads;

[[noreturn]] void ExitOnThreadLeftRunning() {
  std::fprintf(stderr,
               "script-menu: a thread that PythonCode started is still running after its call "
               "ended, and no further call can start safely; make PythonCode end its threads "
               "before its functions return\n");
  std::exit(EXIT_FAILURE);
}

// The CPU-time clock of a thread of this process, as the kernel makes its id from the thread's:
// ~tid << 3, with 4 for one thread's clock and 2 for its scheduled time.
clockid_t ThreadClock(pid_t thread) {
  constexpr unsigned kThreadSchedulingClock = 4U | 2U;
  return static_cast<clockid_t>((~static_cast<unsigned>(thread) << 3U) | kThreadSchedulingClock);
}

bool ThreadEnded(pid_t thread) {
  timespec unused{};
  return clock_gettime(ThreadClock(thread), &unused) != 0;  // the kernel drops it with the thread
}

// What a thread state tells of the thread it belongs to.
enum class StateOf {
  kNewThread,  // one just started, that has yet to write its ids into it: wait a moment
  kOurThread,  // ours: the interpreter's first, or one made for us and never used by any other
  kThread,     // a thread of its own, whose ids are written
};

// A thread that is starting up writes its ids into the state it was given, then marks the state
// as its own: 3.12 on had zeros there until then, earlier releases the ids of the thread that
// started it, which may have ended since. The mark is read first, so that the ids seen are the
// ones written before it.
StateOf ThreadOfState(const PyThreadState* state, const PyThreadState* self) {
#if PY_VERSION_HEX >= 0x030C0000
  if (__atomic_load_n(&state->native_thread_id, __ATOMIC_ACQUIRE) == 0 ||
      __atomic_load_n(&state->thread_id, __ATOMIC_ACQUIRE) == 0) {
    return StateOf::kNewThread;
  }
#else
  if (__atomic_load_n(&state->gilstate_counter, __ATOMIC_ACQUIRE) == 0) {
    return StateOf::kNewThread;
  }
#endif
  return state->thread_id == self->thread_id ? StateOf::kOurThread : StateOf::kThread;
}

// The kernel's id of the thread a state belongs to; 0 if it cannot be had. The thread is running:
// one that ends gives its state up first, which takes the interpreter lock that we hold.
pid_t KernelThreadOfState(const PyThreadState* state) {
#if PY_VERSION_HEX >= 0x030B0000
  return static_cast<pid_t>(state->native_thread_id);
#else
  // Before 3.11 a state holds only the pthread id; its CPU-time clock has the kernel's id in it.
  clockid_t clock = 0;
  if (pthread_getcpuclockid(static_cast<pthread_t>(state->thread_id), &clock) != 0) {
    return 0;
  }
  return static_cast<pid_t>(~(static_cast<unsigned>(clock) >> 3U) & 0x1FFFFFFFU);
#endif
}

// Notes a thread, or notes it again, as of `now`.
void NoteThread(pid_t thread, Clock::time_point now) {
  const auto noted = std::find_if(noted_threads.begin(), noted_threads.end(),
                                  [&](const auto& entry) { return entry.first == thread; });
  if (noted == noted_threads.end()) {
    noted_threads.emplace_back(thread, now);
  } else {
    noted->second = now;
  }
}

// How many threads started by _thread (threading's too) have had the interpreter lock and are still
// running their function. One that has yet to get the lock when the shut-down begins never runs
// its function, and a thread waiting in Thread.start() for it to run waits for good; 3.6 and 3.7
// even let it run after the shut-down, where it crashes the program. So a new thread is let run
// before, as one that has yet to write its ids is.
long ThreadsThatHaveRun() {
  PyObject* thread_module = PyImport_ImportModule("_thread");  // new
  PyObject* count = nullptr;                                   // new
  if (thread_module != nullptr) {
    count = PyObject_CallMethod(thread_module, "_count", nullptr);
  }
  long running = count != nullptr ? PyLong_AsLong(count) : -1;
  if (running == -1) {
    PyErr_Clear();
    running = LONG_MAX;  // cannot tell: none is waited for
  }
  Py_XDECREF(count);
  Py_XDECREF(thread_module);
  return running;
}

// One look at the running interpreter's thread states, under the lock that keeps the list still.
// Notes the thread of each state that is a thread's own when `note` is set. Tells whether a new
// thread has yet to write its ids, or to run at all.
bool LookAtThreadStates(bool note) {
  const auto now = Clock::now();
  PyThreadState* self = PyThreadState_Get();
  bool new_threads = false;
  long threads = 0;
  LockThreadList();
  for (PyThreadState* state = PyInterpreterState_ThreadHead(self->interp); state != nullptr;
       state = PyThreadState_Next(state)) {
    if (state == self) {
      continue;
    }
    const StateOf of = ThreadOfState(state, self);
    new_threads = new_threads || of == StateOf::kNewThread;
    threads += of == StateOf::kThread ? 1 : 0;
    const pid_t thread = of == StateOf::kThread && note ? KernelThreadOfState(state) : 0;
    if (thread != 0) {
      NoteThread(thread, now);
    }
  }
  UnlockThreadList();
  new_threads = new_threads || (threads > 0 && threads > ThreadsThatHaveRun());
  return new_threads;
}

// From 3.14 on, a thread that wants the interpreter lock after the shut-down is parked: it pauses
// for good (PyThread_hang_thread) and never runs Python again. A thread found in pause() is either
// parked, or in signal.pause(), which parks it as soon as it returns.
bool ThreadParked(pid_t thread) {
#if PY_VERSION_HEX >= 0x030E0000 && defined(SYS_pause)
  std::ifstream syscall("/proc/self/task/" + std::to_string(thread) + "/syscall");
  long number = -1;  // the file begins with the number of the system call the thread is in
  return syscall >> number && number == SYS_pause;
#else
  (void)thread;
  return false;
#endif
}

// Set from the exit functions on, when the threads the shut-down waits for have ended (or Ctrl-C
// has cut the wait short): no thread may start another then.
bool all_starts_refused = false;

// Whether the calling thread is one the shut-down does not wait for: a daemon thread, or one that
// _thread started, which threading takes for a daemon. If that cannot be told, it counts as one.
bool CallingThreadIsDaemon() {
  PyObject* threading = PyDict_GetItemString(PyImport_GetModuleDict(), "threading");  // borrowed
  if (threading == nullptr) {
    return true;  // threading would have started the main thread's peers; _thread started it
  }
  PyObject* current = PyObject_CallMethod(threading, "current_thread", nullptr);  // new
  PyObject* daemon = current != nullptr ? PyObject_GetAttrString(current, "daemon") : nullptr;
  const int is_daemon = daemon != nullptr ? PyObject_IsTrue(daemon) : -1;
  if (is_daemon == -1) {
    PyErr_Clear();
  }
  Py_XDECREF(daemon);
  Py_XDECREF(current);
  return is_daemon != 0;
}

// Stands in for a function that starts threads (`original`) once a call has ended. A thread the
// shut-down does not wait for, which asks for a new one then, is ended there, as quietly as the
// shut-down would end it a moment later: threading and _thread end a thread on SystemExit without
// a word. Releases before 3.12 would start the new thread, perhaps later than any note of ours
// could see it; 3.12 refuses it with a RuntimeError as soon as the shut-down begins, whose report
// would be written while the shut-down flushes the same stream, which it can take for a deadlock
// and abort on. Other threads start theirs as before, until the exit functions.
PyObject* StartThreadOrEndCaller(PyObject* original, PyObject* arguments, PyObject* keywords) {
  if (all_starts_refused || CallingThreadIsDaemon()) {
    PyErr_SetNone(PyExc_SystemExit);
    return nullptr;
  }
  return PyObject_Call(original, arguments, keywords);
}

PyMethodDef start_thread_or_end_caller = {
    "start_thread_or_end_caller",
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-cstyle-cast): the calling convention's own cast
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(StartThreadOrEndCaller)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

PyObject* NoteScriptThreadsCallback(PyObject* /*module*/, PyObject* /*no_arguments*/) {
  all_starts_refused = true;
  NoteScriptThreads();
  Py_RETURN_NONE;
}

PyMethodDef note_script_threads = {"note_script_threads", NoteScriptThreadsCallback, METH_NOARGS,
                                   nullptr};

// Ctrl-C while a call waits for its threads: the call looks finished, so this ends the program as
// Ctrl-C at the prompt does, by SIGINT, once it has said what was interrupted.
extern "C" void StopOnInterruptedWait(int /*signal*/) {
  constexpr char kMessage[] =
      "script-menu: interrupted while waiting for a thread that PythonCode started to end\n";
  (void)!write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  std::signal(SIGINT, SIG_DFL);
  std::raise(SIGINT);
}

}  // namespace

void EndThreadsThatStartThreads() {
  all_starts_refused = false;
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  const std::pair<const char*, const char*> starters[] = {{"_thread", "start_new_thread"},
                                                          {"_thread", "start_new"},
                                                          {"_thread", "start_joinable_thread"},
                                                          {"threading", "_start_new_thread"},
                                                          {"threading", "_start_joinable_thread"}};
  for (const auto& [module_name, function_name] : starters) {
    PyObject* module = PyDict_GetItemString(modules, module_name);  // borrowed; none if unused
    PyObject* original = nullptr;                                   // new
    if (module != nullptr && PyObject_HasAttrString(module, function_name) != 0) {
      original = PyObject_GetAttrString(module, function_name);
    }
    PyObject* stand_in = nullptr;  // new; holds a reference to the original
    if (original != nullptr) {
      stand_in = PyCFunction_New(&start_thread_or_end_caller, original);
    }
    if (stand_in == nullptr || PyObject_SetAttrString(module, function_name, stand_in) != 0) {
      PyErr_Clear();  // that one starts threads as before
    }
    Py_XDECREF(stand_in);
    Py_XDECREF(original);
  }
}

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

// A thread just started writes its ids on its own, without the interpreter lock: it is let run
// until it has, within the bound. A state nobody claims in that time belongs to no thread that will
// run: one an extension made and left, or one whose thread never started.
void NoteScriptThreads() {
  const auto deadline = Clock::now() + kThreadEndBound;
  while (LookAtThreadStates(false) && Clock::now() < deadline) {
    Py_BEGIN_ALLOW_THREADS
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    Py_END_ALLOW_THREADS
  }
  LookAtThreadStates(true);
}

void AwaitScriptThreads() {
  if (noted_threads.empty()) {
    return;
  }
#if PY_VERSION_HEX < 0x03090000
  // Up to 3.8 the shut-down ends still holding the interpreter lock, and a thread waiting for the
  // lock learns that it has to end only once it has it. Each such thread passes the lock on.
  PyEval_ReleaseLock();
#endif
  struct sigaction on_interrupt = {};
  struct sigaction before = {};
  on_interrupt.sa_handler = StopOnInterruptedWait;
  sigaction(SIGINT, nullptr, &before);
  const bool interruptible = before.sa_handler == SIG_DFL;  // a script may have it ignored
  if (interruptible) {
    sigaction(SIGINT, &on_interrupt, nullptr);
  }
  auto pause = std::chrono::microseconds(20);
  for (;;) {
    noted_threads.erase(std::remove_if(noted_threads.begin(), noted_threads.end(),
                                       [](const auto& entry) {
                                         return ThreadEnded(entry.first) ||
                                                ThreadParked(entry.first);
                                       }),
                        noted_threads.end());
    if (noted_threads.empty()) {
      break;
    }
    const auto now = Clock::now();
    if (std::any_of(noted_threads.begin(), noted_threads.end(),
                    [&](const auto& entry) { return now >= entry.second + kThreadEndBound; })) {
      ExitOnThreadLeftRunning();
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(5000));
  }
  if (interruptible) {
    sigaction(SIGINT, &before, nullptr);
  }
}
