// The program against its standard streams: output that is out before each read, over a pipe
// and on a terminal; output that can no longer be written, wherever that is found out; input that
// cannot be read; and scripts that read standard input themselves.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "support/program.h"

namespace {

using support::Child;
using support::Launch;
using support::TempDir;

constexpr char kLostOutput[] = "script-menu: cannot write to standard output";

// Types each line only once the text it answers is on the screen: any output still held back
// when the program waits for input makes this time out. A step whose screen is the one before
// types the rest of a line, a moment later, so that the program reads the line in two pieces.
struct Step {
  const char* screen;  // all that must be on the screen before the next line is typed
  const char* typed;
};

std::string TalkInLockstep(const std::string& module_source, bool terminal,
                           std::initializer_list<Step> steps, Launch launch = {}) {
  const TempDir module;
  support::WriteModule(module.path, module_source);
  launch.env.push_back("PYTHONPATH=" + module.path.string());
  launch.terminal = terminal;
  Child child = support::Start(launch);
  const char* screen_before = "";
  for (const Step& step : steps) {
    if (std::string(step.screen) == screen_before) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    screen_before = step.screen;
    if (!support::WaitForOutput(child, step.screen)) {
      ADD_FAILURE() << "still waiting for:\n" << step.screen << "\nshown so far:\n" << child.out;
      break;
    }
    EXPECT_EQ(child.out, step.screen);
    EXPECT_TRUE(support::Send(child, step.typed));
  }
  const auto run = support::Finish(child);
  EXPECT_EQ(run.exit_code, 0);
  return run.err;
}

void TalkWithTheEchoModuleInLockstep(bool terminal) {
  const std::string err = TalkInLockstep(
      support::kEchoModule, terminal,
      {{"menu\n", "1\n"},
       {"menu\nEnter a number.\n", "5"},
       {"menu\nEnter a number.\n", "0\n"},
       {"menu\nEnter a number.\nPrintMe(50)\n\nmenu\n", "2\n"},
       {"menu\nEnter a number.\nPrintMe(50)\n\nmenu\nEnter a number.\n", "8\n"},
       {"menu\nEnter a number.\nPrintMe(50)\n\nmenu\nEnter a number.\nDoubleValue(8)\n\nmenu\n",
        "x\n"},
       {"menu\nEnter a number.\nPrintMe(50)\n\nmenu\nEnter a number.\nDoubleValue(8)\n\nmenu\n"
        "Invalid input, try again.\nmenu\n",
        "3\n"}});
  EXPECT_EQ(err, "");
}

TEST(Streams, EverythingIsOutBeforeEachReadOverAPipe) { TalkWithTheEchoModuleInLockstep(false); }

TEST(Streams, EverythingIsOutBeforeEachReadOnATerminal) { TalkWithTheEchoModuleInLockstep(true); }

// Standard output into a file that takes only so many bytes: each of the program's writes can be
// made the first to fail.
support::Outcome TalkIntoAFullFile(const std::string& input, long long room, std::string& written) {
  const TempDir folder;
  Launch launch;
  launch.output_file = folder.path / "out";
  launch.file_size_limit = room;
  // The limit holds for the byte code the interpreter caches as well, which it would then cut
  // short.
  launch.env = {"PYTHONDONTWRITEBYTECODE=1"};
  auto run = support::Talk(support::kEchoModule, input, launch);
  std::ifstream file(launch.output_file);
  written.assign(std::istreambuf_iterator<char>(file), {});
  return run;
}

TEST(Streams, EachOfTheMenusWritesThatFailsStopsTheProgram) {
  struct Case {
    const char* input;
    const char* written;  // all that fits, up to the write that fails
    const char* failing;
  };
  for (const Case& c : {Case{"x\n", "menu\n", "the unreadable choice"},
                        Case{"7\n", "menu\n", "the choice outside the menu"},
                        Case{"1\n", "menu\n", "the prompt for a number"},
                        Case{"1\nx\n", "menu\nEnter a number.\n", "the invalid number"},
                        Case{"1\n5\n", "menu\nEnter a number.\nPrintMe(5)\n", "the empty line"}}) {
    std::string written;
    const std::string text = c.written;
    const auto run = TalkIntoAFullFile(std::string(c.input) + "3\n",
                                       static_cast<long long>(text.size()), written);
    EXPECT_EQ(written, text) << c.failing;
    EXPECT_EQ(run.err, std::string(kLostOutput) + ": File too large\n") << c.failing;
    EXPECT_EQ(run.exit_code, 1) << c.failing;
  }
}

// What the interpreter says about it first depends on the release; the program's own line ends it.
void ExpectLostScriptOutput(const support::Outcome& run, const std::string& reason) {
  const std::string last = std::string(kLostOutput) + "\n";
  EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
  ASSERT_GE(run.err.size(), last.size()) << run.err;
  EXPECT_EQ(run.err.substr(run.err.size() - last.size()), last) << run.err;
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exit_code, 1);
}

TEST(Streams, ScriptOutputThatCannotBeWrittenStopsTheProgram) {
  std::string written;
  ExpectLostScriptOutput(TalkIntoAFullFile("3\n", 2, written), "[Errno 27] File too large");
  EXPECT_EQ(written, "me");

  Launch full;
  full.output_file = "/dev/full";
  ExpectLostScriptOutput(support::Talk(support::kEchoModule, "3\n", full),
                         "[Errno 28] No space left on device");
}

TEST(Streams, ScriptsOwnStandardOutputThatCannotBeWrittenIsNoLostOutput) {
  // Only the real standard output counts. The interpreter reports what its shut-down could not
  // flush, and the output the program writes was written all the same.
  struct Case {
    const char* stdout_of_its_own;
    const char* reported;  // what the interpreter says; empty for nothing at all
  };
  for (const Case& c : {
           // A writer without flush().
           Case{"    class Writer:\n"
                "        def write(self, text):\n"
                "            return sys.__stdout__.write(text)\n"
                "    sys.stdout = Writer()\n",
                "AttributeError"},
           // A file that cannot take what is written to it.
           Case{"    sys.stdout = open('/dev/full', 'w')\n    sys.stdout.write('lost')\n",
                "No space left on device"},
           // The interpreter's own standard output, closed: nothing is left to lose.
           Case{"    sys.stdout.close()\n", ""},
       }) {
    const auto run =
        support::Talk("import sys\n\ndef printsomething():\n    print('menu', flush=True)\n" +
                          std::string(c.stdout_of_its_own),
                      "7\n3\n");
    EXPECT_EQ(run.out, "menu\nInvalid input, try again.\nmenu\n") << c.stdout_of_its_own;
    if (*c.reported == '\0') {
      EXPECT_EQ(run.err, "") << c.stdout_of_its_own;
    } else {
      EXPECT_NE(run.err.find(c.reported), std::string::npos) << c.stdout_of_its_own << run.err;
    }
    EXPECT_EQ(run.err.find("script-menu:"), std::string::npos) << run.err;
    EXPECT_EQ(run.exit_code, 0) << c.stdout_of_its_own;
  }
}

TEST(Streams, ReaderThatHasGoneStopsTheProgram) {
  // As in: yes 1 | script-menu | head -n 3, once head has gone.
  const TempDir module;
  support::WriteModule(module.path, support::kEchoModule);
  Launch launch;
  launch.env = {"PYTHONPATH=" + module.path.string()};

  Child gone_at_once = support::Start(launch);
  support::CloseOutput(gone_at_once);
  support::Send(gone_at_once, "3\n");
  ExpectLostScriptOutput(support::Finish(gone_at_once), "[Errno 32] Broken pipe");

  Child gone_later = support::Start(launch);
  ASSERT_TRUE(support::Send(gone_later, "1\n"));
  ASSERT_TRUE(support::WaitForOutput(gone_later, "Enter a number.\n"));
  support::CloseOutput(gone_later);
  // Keep typing; a program that cycled on unseen would take all of this and more.
  for (int i = 0; i < 500 && support::Send(gone_later, "1\n"); ++i) {
  }
  const auto run = support::Finish(gone_later);
  EXPECT_FALSE(run.timed_out);
  ExpectLostScriptOutput(run, "[Errno 32] Broken pipe");
}

TEST(Streams, ClosedStandardOutputStopsTheProgramAtOnce) {
  // Nothing the program or the script writes could be seen, whatever comes after.
  for (const char* input : {"1\n5\n3\n", "3\n", ""}) {
    Launch launch;
    launch.close_stdout = true;
    const auto run = support::Talk(support::kEchoModule, input, launch);
    EXPECT_EQ(run.err, std::string(kLostOutput) + ": Bad file descriptor\n") << input;
    EXPECT_EQ(run.exit_code, 1) << input;
  }
}

// A module's source with @FILES@ standing for the folder of a test's files.
std::string WithFilesIn(std::string source, const std::filesystem::path& folder) {
  const std::string mark = "@FILES@";
  for (auto at = source.find(mark); at != std::string::npos; at = source.find(mark, at)) {
    source.replace(at, mark.size(), folder.string());
  }
  return source;
}

std::string Contents(const std::filesystem::path& file) {
  std::ifstream in(file);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(Streams, FilesAScriptOpensNeverBecomeAStandardStream) {
  // A script that makes standard input non-blocking, closes all three streams and opens files in
  // their place: after the call the menu reads what the user types, not the script's file, its
  // lines reach the user, and so do tracebacks; standard input blocks again. So also where the
  // program may not have 100 descriptors, above which it keeps its copies of the streams.
  for (const int open_files_limit : {-1, 64}) {
    const TempDir files;
    std::ofstream(files.path / "choices") << "3\n";
    Launch limited;
    limited.open_files_limit = open_files_limit;
    const std::string err = TalkInLockstep(
        WithFilesIn(R"py(
import os

def printsomething():
    print("menu")

def PrintMe(value):
    os.set_blocking(0, False)
    for stream in (0, 1, 2):
        os.close(stream)
    print(os.open("@FILES@/choices", os.O_RDONLY), os.open("@FILES@/out", os.O_WRONLY | os.O_CREAT),
          os.open("@FILES@/log", os.O_WRONLY | os.O_CREAT))
    return value

def DoubleValue(value):
    print("blocking:", os.get_blocking(0))
    raise ValueError("a traceback for standard error")
)py",
                    files.path),
        false,
        {{"menu\n", "1\n"},
         {"menu\nEnter a number.\n", "5\n"},
         {"menu\nEnter a number.\n\nmenu\n", "2\n"},
         {"menu\nEnter a number.\n\nmenu\nEnter a number.\n", "6\n"},
         {"menu\nEnter a number.\n\nmenu\nEnter a number.\nblocking: True\n\nmenu\n", "3\n"}},
        limited);
    EXPECT_NE(err.find("ValueError: a traceback for standard error"), std::string::npos) << err;
    EXPECT_EQ(Contents(files.path / "out"), "0 1 2\n");  // the script's own, as under python3
    EXPECT_EQ(Contents(files.path / "log"), "");
  }

  const TempDir files;
  // A script that puts a file of its own at the number of the program's copy of standard error,
  // and closes the stream: that file is not taken for the stream, and the stream is never a file
  // the script opens later, which would get the tracebacks of the calls after.
  const auto replaced = support::Talk(WithFilesIn(R"py(
import os

def printsomething():
    print("menu")

def PrintMe(value):
    for name in os.listdir("/proc/self/fd"):
        try:
            if int(name) > 2 and os.path.sameopenfile(int(name), 2):
                os.dup2(os.open("@FILES@/trap", os.O_WRONLY | os.O_CREAT), int(name))
        except OSError:
            pass  # the listing's own descriptor, closed by now
    os.close(2)
    return value

def DoubleValue(value):
    os.open("@FILES@/later", os.O_WRONLY | os.O_CREAT)
    raise ValueError("a traceback for standard error")
)py",
                                                  files.path),
                                      "1 5\n2 6\n2 7\n3\n");
  EXPECT_EQ(replaced.out,
            "menu\nEnter a number.\n\nmenu\nEnter a number.\n\nmenu\nEnter a number.\n\nmenu\n");
  EXPECT_EQ(replaced.exit_code, 0);
  EXPECT_EQ(Contents(files.path / "trap"), "");
  EXPECT_EQ(Contents(files.path / "later"), "");

  // With standard error closed, a file the script leaves open would take its number, and every
  // later traceback would land in it.
  Launch launch;
  launch.close_stderr = true;
  const auto run = support::Talk(WithFilesIn(R"py(
import os

def printsomething():
    print("menu")

def PrintMe(value):
    print(os.open("@FILES@/kept-open", os.O_WRONLY | os.O_CREAT) > 2)
    return value

def DoubleValue(value):
    raise ValueError("a traceback for standard error")
)py",
                                             files.path),
                                 "1 5\n2 6\n3\n", launch);
  EXPECT_EQ(run.out, "menu\nEnter a number.\nTrue\n\nmenu\nEnter a number.\n\nmenu\n");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(Contents(files.path / "kept-open"), "");
}

TEST(Streams, ProcessesAScriptStartsHoldNoneOfTheProgramsOwnDescriptors) {
  // A forked child (a daemon, say) or a started program that held the user's streams open through
  // the program's own copies would keep a reader of its output waiting; and the program keeps no
  // more descriptors from one call to the next.
  const auto run = support::Talk(R"py(
import os, subprocess, sys

def others():
    """Descriptors above the standard streams that are one of them."""
    count = 0
    for name in os.listdir("/proc/self/fd"):
        for stream in (0, 1, 2):
            try:
                count += int(name) > 2 and os.path.sameopenfile(int(name), stream)
            except OSError:
                pass  # the listing's own descriptor, closed by now
    return count

def printsomething():
    print("menu", len(os.listdir("/proc/self/fd")))

def PrintMe(value):
    child = os.fork()
    if child == 0:
        os._exit(others())
    _, status = os.waitpid(child, 0)
    print("forked:", os.WEXITSTATUS(status), flush=True)
    subprocess.run([sys.executable, "-c", "import PythonCode; print('started:', PythonCode.others())"],
                   close_fds=False)
    return value
)py",
                                 "1 5\n1 5\n3\n");
  const std::string menu = run.out.substr(0, run.out.find('\n') + 1);
  const std::string call = "Enter a number.\nforked: 0\nstarted: 0\n\n";
  EXPECT_EQ(run.out, menu + call + menu + call + menu);
  EXPECT_TRUE(support::EndedCleanly(run));
}

TEST(Streams, InputThatAnotherProcessMadeNonBlockingIsWaitedFor) {
  // A child the script started makes the shared standard input non-blocking: the menu waits for
  // the next line, as a blocking read would, and takes no processor time meanwhile.
  const TempDir module;
  support::WriteModule(module.path, R"py(
import os, time

def printsomething():
    print("menu")

def PrintMe(value):
    if os.fork() == 0:
        time.sleep(0.2)  # once the call has ended
        os.set_blocking(0, False)
        os._exit(0)
    return value

def DoubleValue(value):
    return value
)py");
  Launch launch;
  launch.env = {"PYTHONPATH=" + module.path.string()};
  Child child = support::Start(launch);
  ASSERT_TRUE(support::Send(child, "1 5\n"));
  ASSERT_TRUE(support::WaitForOutput(child, "menu\nEnter a number.\n\nmenu\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the child has done it
  ASSERT_TRUE(support::Send(child, "2\n"));
  const std::string waiting = "menu\nEnter a number.\n\nmenu\nEnter a number.\n";
  ASSERT_TRUE(support::WaitForOutput(child, waiting));
  const auto processor_ticks = [&] {
    std::ifstream stat("/proc/" + std::to_string(child.pid) + "/stat");
    const std::string line(std::istreambuf_iterator<char>(stat), {});
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      ticks += i >= 14 ? std::stol(field) : 0;  // user and system time
    }
    return ticks;
  };
  const long before = processor_ticks();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LT(processor_ticks() - before, sysconf(_SC_CLK_TCK) / 2) << "the menu spins as it waits";
  // Then the input ends as the menu waits for a choice: its read gives 0, with errno still as the
  // EAGAIN before the wait left it, and the program ends.
  ASSERT_TRUE(support::Send(child, "6\n"));
  ASSERT_TRUE(support::WaitForOutput(child, waiting + "\nmenu\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // it waits again
  const auto run = support::Finish(child);
  EXPECT_EQ(run.out, waiting + "\nmenu\n");
  EXPECT_TRUE(support::EndedCleanly(run));
}

TEST(Streams, UnreadableStandardInputIsAnErrorNotAnEnd) {
  // Open for writing only, or closed when the program starts.
  for (const bool closed : {false, true}) {
    Launch launch;
    launch.stdin_write_only = !closed;
    launch.close_stdin = closed;
    const auto run = support::Talk(support::kEchoModule, "", launch);
    EXPECT_EQ(run.out, "menu\n") << closed;
    EXPECT_EQ(run.err, "script-menu: cannot read standard input: Bad file descriptor\n") << closed;
    EXPECT_EQ(run.exit_code, 1) << closed;
  }
}

// A script that asks the user something, in both of the interpreter's ways.
constexpr char kAskingModule[] = R"py(
import sys

def printsomething():
    print("menu")

def PrintMe(value):
    name = input("Your name? ")
    print("Hello", name, value)
    return value

def DoubleValue(value):
    line = sys.stdin.readline()
    print("Read", repr(line), value)
    return value
)py";

TEST(Streams, ScriptReadingInputGetsTheNextLineTypedOnATerminal) {
  // On a terminal input() writes its prompt on standard error.
  const std::string err = TalkInLockstep(
      kAskingModule, true,
      {{"menu\n", "1 5\n"},
       {"menu\nEnter a number.\n", "Ann\n"},
       {"menu\nEnter a number.\nHello Ann 5\n\nmenu\n", "2 6\n"},
       {"menu\nEnter a number.\nHello Ann 5\n\nmenu\nEnter a number.\n", "Bob\n"},
       // Typed ahead: the menu takes its lines, the script the one it asks for.
       {"menu\nEnter a number.\nHello Ann 5\n\nmenu\nEnter a number.\nRead 'Bob\\n' 6\n\nmenu\n",
        "1\n7\nCid\n3\n"}});
  EXPECT_EQ(err, "Your name? Your name? ");
}

TEST(Streams, ScriptReadingInputGetsTheNextLineOverAPipeWhenItIsWrittenAfterTheNumber) {
  const std::string err = TalkInLockstep(
      kAskingModule, false,
      {{"menu\n", "1 5\n"},
       {"menu\nEnter a number.\nYour name? ", "Ann\n"},
       {"menu\nEnter a number.\nYour name? Hello Ann 5\n\nmenu\n", "2 6\n"},
       {"menu\nEnter a number.\nYour name? Hello Ann 5\n\nmenu\nEnter a number.\n", "Bob\n"},
       {"menu\nEnter a number.\nYour name? Hello Ann 5\n\nmenu\nEnter a number.\n"
        "Read 'Bob\\n' 6\n\nmenu\n",
        "3\n"}});
  EXPECT_EQ(err, "");
}

TEST(Streams, ScriptReadingInputOverAPipeGetsNothingThatTheMenuHasReadAlready) {
  // All of it arrives before the menu's first read, so the menu has taken the name too: the script
  // finds the input at its end, and the menu takes the name for a choice.
  const auto run = support::Talk(kAskingModule, "1 5\nAnn\n3\n");
  EXPECT_EQ(run.out, "menu\nEnter a number.\nYour name? \nmenu\nInvalid input, try again.\nmenu\n");
  EXPECT_NE(run.err.find("EOFError"), std::string::npos) << run.err;
  EXPECT_EQ(run.exit_code, 0);
}

}  // namespace
