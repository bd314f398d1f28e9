// Threads that a script leaves running when its call ends. They end with the image of the program
// that holds them, as they end when a python3 process exits: the dialogue goes on in a fresh image,
// in the same process, with every line exactly once, and nothing of the program outlives it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/program.h"

namespace {

using support::Talk;

// The top of every module here. Each call begins by looking, as the kernel sees them, at the
// threads of its process: none that an earlier call left may be there. One that is says so in
// the transcript.
constexpr char kLeftoverCheck[] = R"py(
import _thread, atexit, os, sys, threading, time

if len(os.listdir("/proc/self/task")) > 1:
    print("a thread of an earlier call is still running")
)py";

struct LeftRunning {
  const char* name;
  const char* start;  // Python statement that starts a thread running spin()
  const char* loop;   // the body of spin()'s endless loop
};

void PrintTo(const LeftRunning& thread, std::ostream* out) { *out << thread.name; }

// Every call starts a thread that is still running when the call ends.
std::string ModuleLeavingAThread(const LeftRunning& thread) {
  return std::string(kLeftoverCheck) + R"py(
def daemon():
    threading.Thread(target=spin, daemon=True).start()

def daemon_at_exit():
    def start():
        try:
            daemon()
        except RuntimeError:  # 3.12 on start no thread this late
            pass
    atexit.register(start)
)py" + "\ndef spin():\n    while True:\n        " +
         thread.loop + "\n\n" + "def printsomething():\n    " + thread.start +
         "\n    print('menu')\n\n" + "def PrintMe(value):\n    " + thread.start +
         "\n    print(value)\n    return value\n";
}

class ThreadsLeftRunning : public testing::TestWithParam<LeftRunning> {};

TEST_P(ThreadsLeftRunning, EndWithTheProcessThatHoldsThem) {
  const std::string release = SCRIPT_MENU_PYTHON_VERSION;
  if ((release == "3.6" || release == "3.7") && std::string(GetParam().loop) == "pass") {
    GTEST_SKIP() << "3.6 and 3.7 keep a busy thread running through the shut-down (doc/modules.md)";
  }
  const support::Cycles cycles = support::PrintMeCycles(8);
  const auto run = Talk(ModuleLeavingAThread(GetParam()), cycles.input);
  EXPECT_EQ(run.signal, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, cycles.output);
  EXPECT_EQ(run.exit_code, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ThreadsLeftRunning,
    testing::Values(
        LeftRunning{"DaemonPollingEvery50ms", "daemon()", "time.sleep(0.05)"},
        LeftRunning{"DaemonPollingEveryMillisecond", "daemon()", "time.sleep(0.001)"},
        LeftRunning{"DaemonNeverSleeping", "daemon()", "pass"},
        // Started without waiting for it to be running, as threading waits.
        LeftRunning{"LowLevelNeverSleeping", "_thread.start_new_thread(spin, ())", "pass"},
        // Started during the shut-down, after the call has returned.
        LeftRunning{"DaemonStartedByAnExitFunction", "daemon_at_exit()", "time.sleep(0.05)"}),
    [](const testing::TestParamInfo<LeftRunning>& info) { return info.param.name; });

// Each call leaves threads that end 0.3 s after it, started at different moments.
struct Outliving {
  const char* name;
  const char* print_me;  // the body of PrintMe, before it prints its number
};

void PrintTo(const Outliving& threads, std::ostream* out) { *out << threads.name; }

class ThreadsOutlivingTheirCall : public testing::TestWithParam<Outliving> {};

TEST_P(ThreadsOutlivingTheirCall, NeverStopTheDialogue) {
  const support::Cycles cycles = support::PrintMeCycles(4);
  const auto run = Talk(std::string(kLeftoverCheck) + R"py(
def outlive():
    time.sleep(0.3)

def printsomething():
    print("menu")

def PrintMe(value):
)py" + GetParam().print_me + "\n    print(value)\n    return value\n",
                        cycles.input);
  EXPECT_EQ(run.signal, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, cycles.output);
  EXPECT_EQ(run.exit_code, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Moments, ThreadsOutlivingTheirCall,
    testing::Values(
        // One that another thread started, which has ended by the end of the call.
        Outliving{"StartedByAThreadThatHasEnded", R"py(
    started = threading.Event()
    def outlive_started():
        started.set()
        outlive()
    _thread.start_new_thread(_thread.start_new_thread, (outlive_started, ()))
    started.wait(60)
)py"},
        // Only the note made just before the shut-down sees these, and only once each has begun
        // to run: they were started a moment ago.
        Outliving{"StartedAsTheCallEndsWithTheExitFunctionsCleared", R"py(
    atexit._clear()
    for _ in range(4):
        _thread.start_new_thread(outlive, ())
)py"},
        // Only the note from the exit functions sees this one. Releases from 3.12 on start no
        // thread there.
        Outliving{"StartedByAnExitFunction", R"py(
    def start():
        try:
            threading.Thread(target=outlive, daemon=True).start()
        except RuntimeError:
            pass
    atexit.register(start)
)py"},
        Outliving{"EndingHalfASecondAfterItsCall", R"py(
    threading.Thread(target=time.sleep, args=(0.5,), daemon=True).start()
)py"}),
    [](const testing::TestParamInfo<Outliving>& info) { return info.param.name; });

// Patterns of real scripts, each leaving a thread behind at every call: the dialogue goes on, with
// every line exactly once. Never a crash, a refusal or a hang.
struct Pattern {
  const char* name;
  const char* print_me;       // the body of PrintMe, before it prints its number
  const char* since = "3.6";  // the first release that has what it uses
  // Whether CPython's own shut-down may report a fatal error of the leftover thread, as a python3
  // process's exit does: the program holds that thread, and the dialogue goes on all the same.
  bool cpython_may_report = false;
};

// Standard error without CPython's reports of a fatal error.
std::string WithoutFatalErrorReports(const std::string& errors) {
  std::istringstream lines(errors);
  std::string kept;
  for (std::string line; std::getline(lines, line);) {
    const bool reported = line.empty() || line.rfind("Fatal Python error: ", 0) == 0 ||
                          line.rfind("Python runtime state: ", 0) == 0 ||
                          line.rfind("Thread 0x", 0) == 0 ||
                          line.rfind("Current thread 0x", 0) == 0 || line.rfind("  ", 0) == 0;
    if (!reported) {
      kept += line + "\n";
    }
  }
  return kept;
}

void PrintTo(const Pattern& pattern, std::ostream* out) { *out << pattern.name; }

class ThreadPatterns : public testing::TestWithParam<Pattern> {};

TEST_P(ThreadPatterns, LeaveTheDialogueGoing) {
  const Pattern& pattern = GetParam();
  const std::string release = SCRIPT_MENU_PYTHON_VERSION;
  if (std::stoi(release.substr(2)) < std::stoi(std::string(pattern.since).substr(2))) {
    GTEST_SKIP() << "needs CPython " << pattern.since;
  }
  // Six cycles: a pattern shows within two or three, and each call here is followed by a fresh
  // image.
  const support::Cycles cycles = support::PrintMeCycles(6);
  support::Launch launch;
  launch.env = {std::string("CALLING_BACK=") + SCRIPT_MENU_CALLING_BACK_LIBRARY};
  launch.patience = support::PatienceForCalls(2 * 6);
  const auto run = Talk(std::string(kLeftoverCheck) + R"py(
import queue

def printsomething():
    print("menu")

def PrintMe(value):
)py" + pattern.print_me + "\n    print(value)\n    return value\n",
                        cycles.input, launch);
  EXPECT_EQ(run.signal, 0) << run.err;
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.out, cycles.output);
  EXPECT_EQ(pattern.cpython_may_report ? WithoutFatalErrorReports(run.err) : run.err, "");
  EXPECT_EQ(run.exit_code, 0);
}

INSTANTIATE_TEST_SUITE_P(
    OfRealScripts, ThreadPatterns,
    testing::Values(
        // Threads that start the next and end: the one just started when the call ends has yet
        // to run at all.
        Pattern{"ChainsOfThreads", R"py(
    def link():
        time.sleep(0.002)
        _thread.start_new_thread(link, ())
    for _ in range(4):
        _thread.start_new_thread(link, ())
)py"},
        // One that waits in Thread.start() for the new thread to run.
        Pattern{"ThreadStartingAThread", R"py(
    def start():
        time.sleep(0.005)
        threading.Thread(target=time.sleep, args=(0.01,), daemon=True).start()
    threading.Thread(target=start, daemon=True).start()
)py"},
        // A daemon thread that keeps starting short-lived workers.
        Pattern{"DaemonStartingWorkers", R"py(
    def spawn():
        while True:
            threading.Thread(target=time.sleep, args=(0.001,)).start()
            time.sleep(0.005)
    threading.Thread(target=spawn, daemon=True).start()
)py"},
        // One that starts threads while the shut-down waits for another: it is ended quietly,
        // where 3.12 on would refuse it with a RuntimeError.
        Pattern{"DaemonStartingThreadsWhileTheShutDownWaits", R"py(
    def spawn():
        while True:
            try:
                threading.Thread(target=time.sleep, args=(0.001,)).start()
            except RuntimeError as refused:
                print("refused:", refused, flush=True)
                return
            time.sleep(0.002)
    threading.Thread(target=spawn, daemon=True).start()
    threading.Thread(target=time.sleep, args=(0.05,)).start()
)py"},
        // The usual worker, blocked on a lock.
        Pattern{"WorkerWaitingOnAQueue", R"py(
    def work(jobs):
        while True:
            jobs.get()
    threading.Thread(target=work, args=(queue.Queue(),), daemon=True).start()
)py"},
        // A reader blocked on a pipe that nobody writes.
        Pattern{"ReaderBlockedOnAPipe", R"py(
    reading, writing = os.pipe()
    threading.Thread(target=os.read, args=(reading, 1), daemon=True).start()
)py"},
        // The usual way to use asyncio from synchronous code.
        Pattern{"AsyncioLoopInADaemonThread", R"py(
    import asyncio
    loop = asyncio.new_event_loop()
    threading.Thread(target=loop.run_forever, daemon=True).start()
    asyncio.run_coroutine_threadsafe(asyncio.sleep(0), loop).result(60)
)py",
                "3.6"},
        Pattern{"DaemonTimer", R"py(
    timer = threading.Timer(30, print, args=("fired",))
    timer.daemon = True
    timer.start()
)py"},
        // A thread of a C library's own, which calls back into Python every 50 ms: it has a
        // thread state only while in the callback, and is held on its way in or out once the
        // interpreter shuts down. The callback is kept for as long as the library may call it,
        // for good, as a binding must keep it.
        Pattern{"CLibraryCallingBack", R"py(
    import ctypes
    calls = []
    callback = ctypes.CFUNCTYPE(None)(lambda: calls.append(1))
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(callback))
    if ctypes.CDLL(os.environ["CALLING_BACK"]).StartCallingBack(callback) != 0:
        print("no thread started")
)py",
                "3.6"},
        // A thread of a C library's own that faults as the interpreter shuts down: it waits, and
        // ends with the image, rather than end the program.
        Pattern{"CLibrarysThreadFaultingInTheShutDown", R"py(
    import ctypes
    library = ctypes.CDLL(os.environ["CALLING_BACK"])
    if library.StartFaultingThread() != 0:
        print("no thread started")
    atexit.register(library.FaultNow)
)py"},
        // The module's teardown starts a thread through a name bound before the call ended, which
        // no stand-in replaces. (A thread that begins to run late in the shut-down makes CPython
        // report a fatal error, as at a python3 process's exit: the more threads, the likelier.)
        Pattern{"TeardownStartingAThreadThroughASavedName", R"py(
    from _thread import start_new_thread
    class Starter:
        def __del__(self):
            for _ in range(1):
                try:
                    start_new_thread(time.sleep, (0.05,))
                except RuntimeError:  # 3.12 on start no thread this late
                    pass
    sys.modules[__name__].starter = Starter()
)py",
                "3.6", true},
        // A thread of a sub-interpreter's, which only that interpreter lists.
        Pattern{"SubInterpretersThread", R"py(
    import _interpreters, warnings
    # 3.14 warns at the shut-down of a sub-interpreter left open, as at a python3 process's exit.
    warnings.filterwarnings("ignore", "remaining subinterpreters")
    _interpreters.run_string(_interpreters.create(), "import _thread, time\n"
                             "def poll():\n    while True:\n        time.sleep(0.001)\n"
                             "_thread.start_new_thread(poll, ())\n")
)py",
                "3.13"},
        // One of a sub-interpreter's that never sleeps, and so holds that interpreter's own lock
        // but at each switch. 3.13.0 aborts on it at its shut-down ("Py_EndInterpreter: not the
        // last thread"), a python3 process's exit too.
        Pattern{"SubInterpretersBusyThread", R"py(
    import _interpreters, warnings
    warnings.filterwarnings("ignore", "remaining subinterpreters")
    _interpreters.run_string(_interpreters.create(), "import _thread\n"
                             "def spin():\n    while True:\n        pass\n"
                             "_thread.start_new_thread(spin, ())\n")
)py",
                "3.14"}),
    [](const testing::TestParamInfo<Pattern>& info) { return info.param.name; });

TEST(Threads, OnesThatNeverRanPythonLeaveTheDialogueGoing) {
  // A thread of the C library's own, asleep for a minute; and a thread state made for this thread
  // and left, which no thread will ever take.
  struct Case {
    const char* print_me;
    const char* printed;
  };
  for (const Case& c : {Case{R"py(
    libc = ctypes.CDLL(None)
    thread = ctypes.c_ulong()
    sleep = ctypes.cast(libc.sleep, ctypes.c_void_p)
    print(libc.pthread_create(ctypes.byref(thread), None, sleep, ctypes.c_void_p(60)))
)py",
                             "0"},
                        Case{R"py(
    api = ctypes.pythonapi
    api.PyInterpreterState_Head.restype = ctypes.c_void_p
    api.PyThreadState_New.argtypes = [ctypes.c_void_p]
    api.PyThreadState_New.restype = ctypes.c_void_p
    print(api.PyThreadState_New(api.PyInterpreterState_Head()) != 0)
)py",
                             "True"}}) {
    const auto run = Talk(std::string(R"py(
def printsomething():
    print("menu")

def PrintMe(value):
    import ctypes)py") + c.print_me +
                              "    return value\n",
                          "1 5\n3\n");
    EXPECT_EQ(run.out, std::string("menu\nEnter a number.\n") + c.printed + "\n\nmenu\n");
    EXPECT_TRUE(support::EndedCleanly(run));
  }
}

TEST(Threads, CallbacksAsTheInterpreterShutsDownAndAtTheNextCallGetIn) {
  // A C library's callback called on the menu's own thread by what the module's teardown runs,
  // once callers are held; and, at two calls of one image, from a thread of the library's that
  // the call joins: each gets in, where a hold that caught it would hang the program.
  support::Launch launch;
  launch.env = {std::string("CALLING_BACK=") + SCRIPT_MENU_CALLING_BACK_LIBRARY};
  const auto run = Talk(R"py(
import ctypes, os, sys

calls = []
callback = ctypes.CFUNCTYPE(None)(lambda: calls.append(1))

class CallsBackAtTeardown:
    def __init__(self):
        self.callback = callback

    def __del__(self):
        self.callback()

def printsomething():
    print("menu")

def PrintMe(value):
    if ctypes.CDLL(os.environ["CALLING_BACK"]).CallBackFromAThreadAndJoinIt(callback) != 0:
        print("no thread started")
    sys.modules[__name__].at_teardown = CallsBackAtTeardown()
    print(value, len(calls))
    return value
)py",
                        "1 5\n1 6\n3\n", launch);
  EXPECT_EQ(run.out, "menu\nEnter a number.\n5 1\n\nmenu\nEnter a number.\n6 1\n\nmenu\n");
  EXPECT_TRUE(support::EndedCleanly(run));
}

TEST(Threads, FaultOfTheMenusOwnThreadInTheShutDownEndsTheProgramAtOnce) {
  // As it ends a python3 process: it is not parked, as another thread's fault would be for 10 s.
  support::Launch launch;
  launch.patience = std::chrono::seconds(5);
  const auto run = Talk(R"py(
import ctypes, queue, sys, threading

class FaultsAtTeardown:
    def __del__(self):
        ctypes.string_at(0)

def printsomething():
    print("menu")

def PrintMe(value):
    threading.Thread(target=queue.Queue().get, daemon=True).start()
    sys.modules[__name__].at_teardown = FaultsAtTeardown()
    print(value)
    return value
)py",
                        "1 5\n1 6\n3\n", launch);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.signal, SIGSEGV);
  EXPECT_EQ(run.out, "menu\nEnter a number.\n5\n");
}

TEST(Threads, ExitFunctionThatCannotBeRegisteredLeavesNoErrorBehind) {
  // A sitecustomize beside the module runs at every interpreter start, before the program
  // registers its exit functions.
  const support::TempDir folder;
  support::WriteModule(folder.path, support::kEchoModule);
  std::ofstream(folder.path / "sitecustomize.py") << "import atexit\ndel atexit.register\n";
  support::Launch launch;
  launch.env = {"PYTHONPATH=" + folder.path.string()};
  const auto run = support::RunProgram(launch, "1 5\n3\n");
  EXPECT_EQ(run.out, "menu\nEnter a number.\nPrintMe(5)\n\nmenu\n");
  EXPECT_TRUE(support::EndedCleanly(run));
}

TEST(Threads, CtrlCWhileTheShutDownWaitsForAThreadEndsTheProgram) {
  const support::TempDir module;
  support::WriteModule(module.path, R"py(
import threading, time

def work():
    while True:
        time.sleep(0.05)

def printsomething():
    print("menu")

def PrintMe(value):
    threading.Thread(target=work).start()  # the shut-down waits for it
    print("waiting", flush=True)
    return value
)py");
  support::Launch launch;
  launch.env = {"PYTHONPATH=" + module.path.string()};
  support::Child child = support::Start(launch);
  ASSERT_TRUE(support::Send(child, "1 5\n"));
  ASSERT_TRUE(support::WaitForOutput(child, "waiting\n"));
  // Into the shut-down's wait. Should the interrupt come before, in PrintMe, another follows.
  for (int i = 0; i < 5 && child.output >= 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(child.pid, SIGINT);
    support::WaitForOutput(child, "more output", 0, std::chrono::milliseconds(1000));
  }
  const auto run = support::Finish(child);
  EXPECT_EQ(run.out, "menu\nEnter a number.\nwaiting\n");
  EXPECT_NE(run.err.find("KeyboardInterrupt"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("script-menu:"), std::string::npos) << run.err;
  EXPECT_EQ(run.signal, SIGINT);
}

TEST(Threads, CtrlCWhileTheInterpreterStartsEndsTheProgramAndSaysSo) {
  // A sitecustomize beside the module runs at every interpreter start: this one waits there until
  // the interrupt has reached the process, held or not.
  const support::TempDir folder;
  support::WriteModule(folder.path, support::kEchoModule);
  std::ofstream(folder.path / "sitecustomize.py") << R"py(
import signal, time
print("starting", flush=True)
for _ in range(6000):
    if signal.SIGINT in signal.sigpending():
        break
    time.sleep(0.01)
)py";
  support::Launch launch;
  launch.env = {"PYTHONPATH=" + folder.path.string()};
  support::Child child = support::Start(launch);
  ASSERT_TRUE(support::WaitForOutput(child, "starting\n"));
  kill(child.pid, SIGINT);
  const auto run = support::Finish(child);
  EXPECT_EQ(run.out, "starting\n");
  EXPECT_EQ(run.err, "script-menu: interrupted while the Python interpreter started\n");
  EXPECT_EQ(run.signal, SIGINT);
}

}  // namespace
