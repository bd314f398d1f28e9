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

// A transcript of `cycles` choices of 1 with numbers 1, 2, ..., then 3, for a module whose
// printsomething prints "menu" and whose PrintMe prints its number.
struct Cycles {
  std::string input;
  std::string output = "menu\n";
};

Cycles PrintMeCycles(int cycles) {
  Cycles transcript;
  for (int i = 1; i <= cycles; ++i) {
    transcript.input += "1 " + std::to_string(i) + "\n";
    transcript.output += "Enter a number.\n" + std::to_string(i) + "\n\nmenu\n";
  }
  transcript.input += "3\n";
  return transcript;
}

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
  const Cycles cycles = PrintMeCycles(8);
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
  const Cycles cycles = PrintMeCycles(4);
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
  const Cycles cycles = PrintMeCycles(6);
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
                "3.13"}),
    [](const testing::TestParamInfo<Pattern>& info) { return info.param.name; });

// A module whose PrintMe leaves a daemon thread behind, and writes the process id of each call in
// the file $PIDS; DoubleValue runs the statement in $DOUBLE.
constexpr char kLeavesAThread[] = R"py(
import os, queue, signal, sys, threading, time

with open(os.environ["PIDS"], "a") as pids:
    print(os.getpid(), file=pids)

def printsomething():
    print("menu")

def PrintMe(value):
    threading.Thread(target=queue.Queue().get, daemon=True).start()
    print(value, flush=True)
    return value

def DoubleValue(value):
    exec(os.environ.get("DOUBLE", "pass"))
    print(value * 2)
    return value * 2
)py";

// Whether a process has ended (a zombie counts: it runs no more).
bool Ended(pid_t process) {
  std::ifstream stat("/proc/" + std::to_string(process) + "/stat");
  std::string pid;
  std::string name;
  std::string state;
  return !(stat >> pid >> name >> state) || state == "Z";
}

// One process, the program's, made every call, and it has ended.
void ExpectOneProcessThatEnded(const std::filesystem::path& pids, pid_t program) {
  std::ifstream listed(pids);
  std::vector<pid_t> processes;
  for (pid_t process = 0; listed >> process;) {
    processes.push_back(process);
  }
  EXPECT_GE(processes.size(), 2U);
  for (const pid_t process : processes) {
    EXPECT_EQ(process, program);
  }
  EXPECT_TRUE(Ended(program));
}

TEST(FreshImage, TheProgramEndsAsTheDialogueEnds) {
  struct Case {
    const char* name;
    const char* double_value;  // run by DoubleValue
    const char* out;
    int exit_code;
    int signal;
  };
  for (const Case& c :
       {Case{"choice 3", "pass", "menu\nEnter a number.\n5\n\nmenu\nEnter a number.\n8\n\nmenu\n",
             0, 0},
        Case{"SystemExit(4)", "sys.exit(4)", "menu\nEnter a number.\n5\n\nmenu\nEnter a number.\n",
             4, 0},
        Case{"a signal", "sys.stdout.flush(); os.kill(os.getpid(), signal.SIGTERM)",
             "menu\nEnter a number.\n5\n\nmenu\nEnter a number.\n", -1, SIGTERM}}) {
    const support::TempDir folder;
    support::WriteModule(folder.path, kLeavesAThread);
    support::Launch launch;
    launch.env = {"PYTHONPATH=" + folder.path.string(), "PIDS=" + (folder.path / "pids").string(),
                  std::string("DOUBLE=") + c.double_value};
    support::Child child = support::Start(launch);
    const pid_t program = child.pid;
    support::Send(child, "1 5\n2 4\n3\n");
    const auto run = support::Finish(child);
    EXPECT_EQ(run.out, c.out) << c.name;
    EXPECT_EQ(run.err, "") << c.name;
    EXPECT_EQ(run.exit_code, c.exit_code) << c.name;
    EXPECT_EQ(run.signal, c.signal) << c.name;
    ExpectOneProcessThatEnded(folder.path / "pids", program);
  }
}

TEST(FreshImage, SignalsSentToTheProgramReachItOnce) {
  // After two fresh images: Ctrl-C on the terminal interrupts a call, once, and the dialogue goes
  // on; at the prompt it ends the program. SIGTERM and SIGHUP end the program.
  for (const int sent : {SIGINT, SIGTERM, SIGHUP}) {
    const support::TempDir folder;
    support::WriteModule(folder.path, kLeavesAThread);
    support::Launch launch;
    launch.env = {"PYTHONPATH=" + folder.path.string(), "PIDS=" + (folder.path / "pids").string(),
                  "DOUBLE=print('waiting', flush=True); time.sleep(60)"};
    launch.terminal = sent == SIGINT;
    support::Child child = support::Start(launch);
    const pid_t program = child.pid;
    ASSERT_TRUE(support::Send(child, "1 5\n1 6\n2 7\n"));
    ASSERT_TRUE(support::WaitForOutput(child, "waiting\n"));
    const std::string interrupted = "waiting\n\nmenu\n";
    if (sent == SIGINT) {
      ASSERT_TRUE(support::Send(child, "\x03"));  // Ctrl-C, to the terminal's process group
      ASSERT_TRUE(support::WaitForOutput(child, interrupted)) << child.err;
      // At the prompt. One that comes as the menu's interpreter shuts down is the interpreter's,
      // and is pressed again, as a user would.
      for (int i = 0; i < 5 && child.output >= 0; ++i) {
        ASSERT_TRUE(support::Send(child, "\x03"));
        support::WaitForOutput(child, "more output", 0, std::chrono::milliseconds(1000));
      }
    } else {
      kill(program, sent);
    }
    const auto run = support::Finish(child);
    const std::string dialogue =
        "menu\nEnter a number.\n5\n\nmenu\nEnter a number.\n6\n\nmenu\nEnter a number.\n";
    if (sent == SIGINT) {
      EXPECT_EQ(run.out, dialogue + interrupted);
      // A press that came as an interpreter shut down is reported by it as ignored, and lost
      // (a slow machine makes that likelier); the call's own report comes once.
      std::string reports = run.err;
      for (std::size_t at = 0; (at = reports.find("Exception ignored", at)) != std::string::npos;) {
        const std::size_t lost = reports.find("KeyboardInterrupt", at);
        reports.erase(at, lost == std::string::npos ? lost : lost - at + 17);
      }
      const auto report = reports.find("KeyboardInterrupt");
      EXPECT_NE(report, std::string::npos) << run.err;
      EXPECT_EQ(reports.find("KeyboardInterrupt", report + 1), std::string::npos) << run.err;
      EXPECT_EQ(run.err.find("script-menu:"), std::string::npos) << run.err;
    } else {
      EXPECT_EQ(run.out, dialogue + "waiting\n");
      EXPECT_EQ(run.err, "");
    }
    EXPECT_EQ(run.signal, sent);
    ExpectOneProcessThatEnded(folder.path / "pids", program);
  }
}

TEST(FreshImage, ChangesNothingTheUserCanSee) {
  // All the input at once; the working folder, the environment, a descriptor, signal dispositions
  // and a timer as the call before left them; one process, the test's child, throughout; the fault
  // action the first call had (no guard of the program's left in place), and no descriptor of
  // the program's own left over; its command line, which the first call overwrote as a process
  // title does; a start variable it removed stays removed; what a C library left in a stream it
  // never closed is written; the environment begins where the kernel laid it out, as a library
  // that sets a process title expects; every line once, with a thread left or not.
  const support::TempDir folder;
  std::filesystem::create_directory(folder.path / "elsewhere");
  const auto run = Talk(R"py(
import os, queue, signal, threading

def printsomething():
    print("menu")

def PrintMe(value):
    if value == 1:
        os.chdir("elsewhere")
        os.environ["LEFT"] = "by the first call"
        os.environ["FIRST"] = str(os.getpid())
        os.environ["FAULTS"] = repr(signal.getsignal(signal.SIGSEGV))
        del os.environ["GONE"]
        os.dup2(os.open("kept", os.O_WRONLY | os.O_CREAT), 9)
        signal.signal(signal.SIGUSR1, signal.SIG_IGN)
        signal.setitimer(signal.ITIMER_REAL, 3600)
        with open("/proc/self/cmdline", "rb") as command, open("/proc/self/stat") as stat:
            os.environ["COMMAND"] = command.read().hex()
            import ctypes
            ctypes.memmove(int(stat.read().rsplit(")", 1)[1].split()[45]), b"title\0", 6)
        libc = ctypes.CDLL(None)
        libc.fopen.restype = ctypes.c_void_p
        libc.fputs.argtypes = [ctypes.c_char_p, ctypes.c_void_p]
        libc.fputs(b"by C\n", libc.fopen(b"unclosed", b"w"))
    else:
        with open("/proc/self/cmdline", "rb") as command, open("/proc/self/stat") as stat:
            same_command = command.read().hex() == os.environ["COMMAND"]
            environment_at = [int(at) for at in stat.read().rsplit(")", 1)[1].split()[47:49]]
        import ctypes
        first = ctypes.POINTER(ctypes.c_void_p).in_dll(ctypes.CDLL(None), "environ")[0]
        descriptors = len(os.listdir("/proc/self/fd"))
        print(os.path.basename(os.getcwd()), os.environ["LEFT"], os.fstat(9).st_size,
              signal.getsignal(signal.SIGUSR1) == signal.SIG_IGN,
              signal.getitimer(signal.ITIMER_REAL)[0] > 3000,
              descriptors - int(os.environ.setdefault("DESCRIPTORS", str(descriptors))),
              same_command, "GONE" in os.environ, os.path.getsize("unclosed"),
              environment_at[0] <= first < environment_at[1])
    print(os.getpid() == int(os.environ["FIRST"]), os.getppid() == int(os.environ["TEST"]),
          repr(signal.getsignal(signal.SIGSEGV)) == os.environ["FAULTS"])
    if value != 3:
        threading.Thread(target=queue.Queue().get, daemon=True).start()
    print(value)
    return value
)py",
                        "1 1 1 2\n1 3 1 4\n3\n", [&] {
                          support::Launch launch;
                          launch.directory = folder.path;
                          launch.env = {"TEST=" + std::to_string(getpid()), "GONE=yes"};
                          return launch;
                        }());
  const std::string kept =
      "elsewhere by the first call 0 True True 0 True False 5 True\nTrue True True\n";
  EXPECT_EQ(run.out,
            "menu\nEnter a number.\nTrue True True\n1\n\n"
            "menu\nEnter a number.\n" +
                kept +
                "2\n\n"
                "menu\nEnter a number.\n" +
                kept +
                "3\n\n"
                "menu\nEnter a number.\n" +
                kept + "4\n\nmenu\n");
  EXPECT_TRUE(support::EndedCleanly(run));
}

TEST(FreshImage, GoesOnAfterTheEndOfInputOnATerminal) {
  // Ctrl-D ends a terminal's input once: the next read waits for more. Seen before a call that
  // leaves a thread, the end holds in the fresh image that follows, and the program ends.
  const support::TempDir folder;
  support::WriteModule(folder.path, kLeavesAThread);
  support::Launch launch;
  launch.env = {"PYTHONPATH=" + folder.path.string(), "PIDS=" + (folder.path / "pids").string()};
  launch.terminal = true;
  support::Child child = support::Start(launch);
  ASSERT_TRUE(support::WaitForOutput(child, "menu\n"));
  ASSERT_TRUE(support::Send(child, "1 5\x04\x04"));  // the number ends where the input does
  const auto run = support::Finish(child);
  EXPECT_EQ(run.out, "menu\nEnter a number.\n5\n\nmenu\n");
  EXPECT_TRUE(support::EndedCleanly(run));
}

TEST(FreshImage, ScriptThatClosesEveryDescriptorKeepsTheDialogueGoing) {
  // os.closerange takes the program's copies of the standard streams too.
  const auto run = Talk(std::string(kLeftoverCheck) + R"py(
import queue

def printsomething():
    print("menu")

def PrintMe(value):
    os.closerange(3, 4096)
    threading.Thread(target=queue.Queue().get, daemon=True).start()
    return value
)py",
                        "1 5\n1 6\n3\n");
  EXPECT_EQ(run.out, "menu\nEnter a number.\n\nmenu\nEnter a number.\n\nmenu\n");
  EXPECT_TRUE(support::EndedCleanly(run));
}

TEST(FreshImage, WithoutProcEveryCallStartsOne) {
  // /proc is hidden in a namespace of the test's own, as in a container that does not mount it:
  // the program cannot see the threads, so every call is followed by a fresh image, in the same
  // process. The kernel's random bytes for each image (AT_RANDOM) tell the images apart.
  if (const std::string why = support::WhyProcCannotBeHidden(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  const support::TempDir folder;
  support::WriteModule(folder.path, R"py(
import ctypes, os, threading, time

libc = ctypes.CDLL(None)
libc.getauxval.restype = ctypes.c_void_p
image = ctypes.string_at(libc.getauxval(25), 16).hex()
last = os.environ.get("LAST_CALL", "%d -" % os.getpid()).split()
os.environ["LAST_CALL"] = "%d %s" % (os.getpid(), image)
if last != [str(os.getpid()), "-"] and (last[0] != str(os.getpid()) or last[1] == image):
    print("not a fresh image of the same process")

def printsomething():
    print("menu")

def PrintMe(value):
    def poll():
        while True:
            time.sleep(0.001)
    threading.Thread(target=poll, daemon=True).start()
    print(value)
    return value
)py");
  support::Launch launch;
  launch.program = "/usr/bin/unshare";
  launch.arguments = {"--user",  "--map-root-user",
                      "--mount", "/bin/sh",
                      "-c",      "mount -t tmpfs none /proc && exec " + support::ProgramPath()};
  launch.env = {"PYTHONPATH=" + folder.path.string()};
  const Cycles cycles = PrintMeCycles(4);
  const auto run = support::RunProgram(launch, cycles.input);
  EXPECT_EQ(run.out, cycles.output);
  EXPECT_TRUE(support::EndedCleanly(run));
}

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
