// Threads that a script leaves running when its call ends. The program never crashes on them:
// each has ended (or, from 3.14 on, been parked) before the next interpreter starts, or the
// program stops and says why.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>

#include "support/program.h"

namespace {

using support::Talk;

constexpr char kLeftRunning[] =
    "script-menu: a thread that PythonCode started is still running after its call ended, and no "
    "further call can start safely; make PythonCode end its threads before its functions return\n";

// The top of every module here. Each call begins by looking, as the kernel sees them, at the
// threads the calls before it left: every one must have ended, or be parked for good in pause()
// (system call 34), before a new interpreter starts. One that is not says so in the transcript.
constexpr char kLeftoverCheck[] = R"py(
import _thread, atexit, os, sys, threading, time

def _running_leftovers():
    found = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open("/proc/self/task/" + task + "/syscall") as status:
                running = int(task) != os.getpid() and status.read().split()[0] != "34"
        except OSError:
            running = False  # it has ended meanwhile
        found += running
    return found

if _running_leftovers():
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

TEST_P(ThreadsLeftRunning, HaveEndedOrAreParkedBeforeTheNextCall) {
  const std::string release = SCRIPT_MENU_PYTHON_VERSION;
  if ((release == "3.6" || release == "3.7") && std::string(GetParam().loop) == "pass") {
    GTEST_SKIP() << "3.6 and 3.7 keep a busy thread running through the shut-down (see README)";
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

// Each call leaves threads that end 0.3 s after it, found by the program at different moments.
struct Outliving {
  const char* name;
  const char* print_me;  // the body of PrintMe, before it prints its number
};

void PrintTo(const Outliving& threads, std::ostream* out) { *out << threads.name; }

class ThreadsOutlivingTheirCall : public testing::TestWithParam<Outliving> {};

TEST_P(ThreadsOutlivingTheirCall, AreWaitedForAndNeverRefused) {
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
        // Ends just within the bound, which runs from the end of the call.
        Outliving{"EndingHalfASecondAfterItsCall", R"py(
    threading.Thread(target=time.sleep, args=(0.5,), daemon=True).start()
)py"}),
    [](const testing::TestParamInfo<Outliving>& info) { return info.param.name; });

// Patterns of real scripts. Each either ends on the bound, or leaves the dialogue going; never a
// crash, and never a hang.
struct Pattern {
  const char* name;
  const char* print_me;  // the body of PrintMe, before it prints its number
  bool refused;          // the bound ends the program at the first call
  bool maybe_refused;    // it may, depending on where its threads are when the call ends
};

void PrintTo(const Pattern& pattern, std::ostream* out) { *out << pattern.name; }

class ThreadPatterns : public testing::TestWithParam<Pattern> {};

TEST_P(ThreadPatterns, NeverCrashTheProgram) {
  const Pattern& pattern = GetParam();
  const Cycles cycles = PrintMeCycles(12);
  const auto run = Talk(std::string(kLeftoverCheck) + R"py(
import queue

def printsomething():
    print("menu")

def PrintMe(value):
)py" + pattern.print_me + "\n    print(value)\n    return value\n",
                        cycles.input);
  EXPECT_EQ(run.signal, 0) << run.err;
  EXPECT_FALSE(run.timed_out);
  const bool refused = run.exit_code == 1 && run.err == kLeftRunning;
  if (pattern.refused || (pattern.maybe_refused && refused)) {
    EXPECT_EQ(run.err, kLeftRunning);
    EXPECT_EQ(run.exit_code, 1);
    // Cut right after a call.
    const std::size_t cut = cycles.output.find("\n\nmenu\n", run.out.size() - 1);
    EXPECT_EQ(cycles.output.rfind(run.out, 0), 0U) << run.out;
    EXPECT_EQ(cut, run.out.size() - 1) << run.out;
    if (pattern.refused) {
      EXPECT_EQ(run.out, "menu\nEnter a number.\n1\n");
    }
  } else {
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, cycles.output);
    EXPECT_EQ(run.exit_code, 0);
  }
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
)py",
                false, false},
        // The usual worker: blocked on a lock, it would wake in a later interpreter.
        Pattern{"WorkerWaitingOnAQueue", R"py(
    def work(jobs):
        while True:
            jobs.get()
    threading.Thread(target=work, args=(queue.Queue(),), daemon=True).start()
)py",
                true, false},
        // Blocked in Thread.start() when the new thread cannot run any more.
        Pattern{"ThreadStartingAThread", R"py(
    def start():
        time.sleep(0.005)
        threading.Thread(target=time.sleep, args=(0.01,), daemon=True).start()
    threading.Thread(target=start, daemon=True).start()
)py",
                false, true}),
    [](const testing::TestParamInfo<Pattern>& info) { return info.param.name; });

TEST(Threads, OneStillRunningAfterTheBoundStopsTheProgramAndSaysWhy) {
  // The thread ends three seconds after its call: past the bound, however slow the machine.
  const auto started = std::chrono::steady_clock::now();
  const auto run = Talk(R"py(
import threading, time

def printsomething():
    print("menu")

def PrintMe(value):
    threading.Thread(target=time.sleep, args=(3,), daemon=True).start()
    print(value)
    return value
)py",
                        "1 5\n3\n");
  EXPECT_EQ(run.out, "menu\nEnter a number.\n5\n");
  EXPECT_EQ(run.err, kLeftRunning);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
}

TEST(Threads, OnesThatNeverRanPythonAreNotWaitedFor) {
  // A thread of the C library's own, asleep for a minute; and a thread state made for this thread
  // and left, which no thread will ever take. Only threads that run Python matter. (Each in a run
  // of its own: 3.12.1 does not survive importing ctypes twice.)
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
import ctypes

def printsomething():
    print("menu")

def PrintMe(value):)py") + c.print_me +
                              "    return value\n",
                          "1 5\n3\n");
    EXPECT_EQ(run.out, std::string("menu\nEnter a number.\n") + c.printed + "\n\nmenu\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_code, 0);
  }
}

TEST(Threads, NoteFromTheExitFunctionsThatCannotBeMadeLeavesNoErrorBehind) {
  // A sitecustomize runs at every interpreter start, before the program registers its note.
  const support::TempDir site;
  std::ofstream(site.path / "sitecustomize.py") << "import atexit\ndel atexit.register\n";
  support::Launch launch;
  launch.env = {"PYTHONPATH=" + site.path.string()};
  const auto run = Talk(support::kEchoModule, "1 5\n3\n", launch);
  EXPECT_EQ(run.out, "menu\nEnter a number.\nPrintMe(5)\n\nmenu\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_code, 0);
}

TEST(Threads, CtrlCWhileACallWaitsForAThreadLeavesTheDialogueGoing) {
  const support::TempDir module;
  support::WriteModule(module.path, R"py(
import threading, time

def work():
    while True:
        time.sleep(0.05)

def printsomething():
    print("menu")

def PrintMe(value):
    threading.Thread(target=work).start()  # the call waits for it at its end
    print("waiting", flush=True)
    return value

def DoubleValue(value):
    print(value * 2)
    return value * 2
)py");
  support::Launch launch;
  launch.env = {"PYTHONPATH=" + module.path.string()};
  support::Child child = support::Start(launch);
  ASSERT_TRUE(support::Send(child, "1 5\n"));
  ASSERT_TRUE(support::WaitForOutput(child, "waiting\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // into the wait at the call's end
  kill(child.pid, SIGINT);
  ASSERT_TRUE(support::WaitForOutput(child, "waiting\n\nmenu\n")) << child.err;
  const std::size_t shown = child.out.size();
  ASSERT_TRUE(support::Send(child, "2 21\n1 6\n"));
  ASSERT_TRUE(support::WaitForOutput(child, "42\n\nmenu\nEnter a number.\nwaiting\n", shown));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(child.pid, SIGINT);
  ASSERT_TRUE(support::Send(child, "3\n"));
  const auto run = support::Finish(child);
  EXPECT_EQ(run.out,
            "menu\nEnter a number.\nwaiting\n\nmenu\nEnter a number.\n42\n\nmenu\n"
            "Enter a number.\nwaiting\n\nmenu\n");
  EXPECT_NE(run.err.find("KeyboardInterrupt"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("script-menu:"), std::string::npos) << run.err;
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exit_code, 0);
}

TEST(Threads, CtrlCWhileTheProgramWaitsForAThreadEndsItAndSaysSo) {
  const support::TempDir module;
  support::WriteModule(module.path, R"py(
import threading, time

def printsomething():
    print("menu")

def PrintMe(value):
    threading.Thread(target=time.sleep, args=(60,), daemon=True).start()
    print("left a thread", flush=True)
    return value
)py");
  support::Launch launch;
  launch.env = {"PYTHONPATH=" + module.path.string()};
  support::Child child = support::Start(launch);
  ASSERT_TRUE(support::Send(child, "1 5\n"));
  ASSERT_TRUE(support::WaitForOutput(child, "left a thread\n"));
  // Into the program's wait for the thread, which lasts up to the bound. Should the interrupt come
  // before it, in the shut-down, the interpreter takes it, and another follows.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (int i = 0; i < 5 && child.output >= 0; ++i) {
    kill(child.pid, SIGINT);
    support::WaitForOutput(child, "more output", 0, std::chrono::milliseconds(150));
  }
  const auto run = support::Finish(child);
  EXPECT_EQ(run.out, "menu\nEnter a number.\nleft a thread\n");
  const std::string said =
      "script-menu: interrupted while waiting for a thread that PythonCode started to end\n";
  ASSERT_GE(run.err.size(), said.size()) << run.err;
  EXPECT_EQ(run.err.substr(run.err.size() - said.size()), said) << run.err;
  EXPECT_EQ(run.signal, SIGINT);
}

}  // namespace
