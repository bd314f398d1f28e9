// The program against its standard streams: output that is out before each read, over a pipe
// and on a terminal; output that can no longer be written; input that cannot be read.
#include <gtest/gtest.h>

#include <string>

#include "support/program.h"

namespace {

using support::Child;
using support::Launch;
using support::TempDir;

// Types each line only once the text it answers is on the screen: any output still held back
// when the program waits for input makes this time out.
void TalkInLockstep(bool terminal) {
  const TempDir module;
  support::WriteModule(module.path, support::kEchoModule);
  Launch launch;
  launch.env = {"PYTHONPATH=" + module.path.string()};
  launch.terminal = terminal;
  Child child = support::Start(launch);

  struct Step {
    const char* screen;  // what must appear before the next line is typed
    const char* typed;
  };
  const Step steps[] = {
      {"menu\n", "1\n"},
      {"menu\nEnter a number.\n", "5\n"},
      {"menu\nEnter a number.\nPrintMe(5)\n\nmenu\n", "2\n"},
      {"menu\nEnter a number.\nPrintMe(5)\n\nmenu\nEnter a number.\n", "8\n"},
      {"menu\nEnter a number.\nPrintMe(5)\n\nmenu\nEnter a number.\nDoubleValue(8)\n\nmenu\n",
       "x\n"},
      {"menu\nEnter a number.\nPrintMe(5)\n\nmenu\nEnter a number.\nDoubleValue(8)\n\nmenu\n"
       "Invalid input, try again.\nmenu\n",
       "3\n"},
  };
  for (const Step& step : steps) {
    ASSERT_TRUE(support::WaitForOutput(child, step.screen, 0, std::chrono::seconds(10)))
        << "still waiting for:\n" << step.screen << "\nshown so far:\n" << child.out;
    EXPECT_EQ(child.out, step.screen);
    ASSERT_TRUE(support::Send(child, step.typed));
  }
  const auto run = support::Finish(child);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "");
}

TEST(Streams, EverythingIsOutBeforeEachReadOverAPipe) {
  TalkInLockstep(false);
}

TEST(Streams, EverythingIsOutBeforeEachReadOnATerminal) {
  TalkInLockstep(true);
}

TEST(Streams, ReaderThatGoesAwayStopsTheProgram) {
  // As in: yes 1 | script-menu | head -n 3
  const TempDir module;
  support::WriteModule(module.path, support::kEchoModule);
  Launch launch;
  launch.env = {"PYTHONPATH=" + module.path.string()};
  Child child = support::Start(launch);
  ASSERT_TRUE(support::Send(child, "1\n"));
  ASSERT_TRUE(support::WaitForOutput(child, "Enter a number.\n"));
  support::CloseOutput(child);
  // Keep typing; a program that cycled on unseen would take all of this and more.
  for (int i = 0; i < 500 && support::Send(child, "1\n"); ++i) {
  }
  const auto run = support::Finish(child);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.err.find("script-menu: cannot write to standard output: Broken pipe"),
            std::string::npos)
      << run.err;
}

TEST(Streams, ClosedStandardOutputStopsTheProgram) {
  Launch launch;
  launch.close_stdout = true;
  std::string input;
  for (int i = 0; i < 1000; ++i) {
    input += "1\n5\n";
  }
  const auto run = support::Talk(support::kEchoModule, input, launch);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.err.find("script-menu: cannot write to standard output"), std::string::npos)
      << run.err;
}

TEST(Streams, UnreadableStandardInputIsAnErrorNotAnEnd) {
  Launch launch;
  launch.stdin_write_only = true;
  const auto run = support::Talk(support::kEchoModule, "", launch);
  EXPECT_EQ(run.out, "menu\n");
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.err.find("script-menu: cannot read standard input: "), std::string::npos)
      << run.err;
}

}  // namespace
