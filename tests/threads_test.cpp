// Threads that a script leaves running when its call ends. The program never crashes on them:
// each has ended before the next interpreter starts, or the program stops and says why.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "support/program.h"

namespace {

using support::Talk;

struct LeftRunning {
  const char* name;
  const char* start;  // Python statement that starts a thread running spin()
  const char* loop;   // the body of spin()'s endless loop
};

void PrintTo(const LeftRunning& thread, std::ostream* out) { *out << thread.name; }

// Every call starts a thread that is still running when the call ends.
std::string ModuleLeavingAThread(const LeftRunning& thread) {
  return std::string(R"py(
import _thread, atexit, threading, time

def daemon():
    threading.Thread(target=spin, daemon=True).start()

def daemon_at_exit():
    def start():
        try:
            daemon()
        except RuntimeError:  # 3.12 starts no thread this late
            pass
    atexit.register(start)
)py") + "\ndef spin():\n    while True:\n        " +
         thread.loop + "\n\n" + "def printsomething():\n    " + thread.start +
         "\n    print('menu')\n\n" + "def PrintMe(value):\n    " + thread.start +
         "\n    print(value)\n    return value\n";
}

class ThreadsLeftRunning : public testing::TestWithParam<LeftRunning> {};

TEST_P(ThreadsLeftRunning, NeverCrashTheProgram) {
  constexpr int kCycles = 50;
  std::string input;
  std::string expected = "menu\n";
  for (int i = 1; i <= kCycles; ++i) {
    input += "1 " + std::to_string(i) + "\n";
    expected += "Enter a number.\n" + std::to_string(i) + "\n\nmenu\n";
  }
  const auto run = Talk(ModuleLeavingAThread(GetParam()), input + "3\n");
  EXPECT_EQ(run.signal, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, expected);
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

TEST(Threads, OneStillRunningAfterTheBoundStopsTheProgramAndSaysWhy) {
  const auto started = std::chrono::steady_clock::now();
  const auto run = Talk(R"py(
import threading, time

def printsomething():
    print("menu")

def PrintMe(value):
    threading.Thread(target=time.sleep, args=(60,), daemon=True).start()
    print(value)
    return value
)py",
                        "1 5\n3\n");
  EXPECT_EQ(run.out, "menu\nEnter a number.\n5\n");
  EXPECT_EQ(run.err,
            "script-menu: a thread that PythonCode started is still running after its call ended, "
            "and no further call can start safely; make PythonCode end its threads before its "
            "functions return\n");
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exit_code, 1);
  // Waited for the bound, a second, and not for the thread's minute.
  const auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, std::chrono::seconds(1));
  EXPECT_LT(waited, std::chrono::seconds(20));
}

TEST(Threads, OnesThatNeverRanPythonAreNotWaitedFor) {
  // A thread of the C library's own, asleep for a minute: only threads that ran Python matter.
  const auto run = Talk(R"py(
def printsomething():
    print("menu")

def PrintMe(value):
    import ctypes
    libc = ctypes.CDLL(None)
    thread = ctypes.c_ulong()
    sleep = ctypes.cast(libc.sleep, ctypes.c_void_p)
    print(libc.pthread_create(ctypes.byref(thread), None, sleep, ctypes.c_void_p(60)))
    return value
)py",
                        "1 5\n3\n");
  EXPECT_EQ(run.out, "menu\nEnter a number.\n0\n\nmenu\n");
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

}  // namespace
