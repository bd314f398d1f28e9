// The menu dialogue, as a transcript: what the user types in, what the screen shows.
#include <gtest/gtest.h>

#include "support/program.h"

namespace {

using support::kEchoModule;
using support::Talk;

// The program's own texts, as they appear in a transcript.
constexpr char kEnter[] = "Enter a number.\n";
constexpr char kInvalid[] = "Invalid input, try again.\n";

TEST(Dialogue, ChoosingThreeFirstEndsAfterOneMenu) {
  const auto run = Talk(kEchoModule, "3\n");
  EXPECT_EQ(run.out, "menu\n");
  EXPECT_TRUE(support::EndedCleanly(run));
}

TEST(Dialogue, OtherChoicesAreAnsweredAndTheMenuComesAgain) {
  const auto run = Talk(kEchoModule, "0\n4\n-1\n12\n3\n");
  EXPECT_EQ(run.out, std::string("menu\n") + kInvalid + "menu\n" + kInvalid + "menu\n" + kInvalid +
                         "menu\n" + kInvalid + "menu\n");
  EXPECT_EQ(run.exit_code, 0);
}

TEST(Dialogue, NumberActionsCallTheScriptWithTheNumberUnchanged) {
  const auto run = Talk(kEchoModule, "1\n5\n2\n-7\n2\n0\n2\n2147483647\n1\n-2147483648\n3\n");
  EXPECT_EQ(run.out, std::string("menu\n") + kEnter + "PrintMe(5)\n\n" +      //
                         "menu\n" + kEnter + "DoubleValue(-7)\n\n" +          //
                         "menu\n" + kEnter + "DoubleValue(0)\n\n" +           //
                         "menu\n" + kEnter + "DoubleValue(2147483647)\n\n" +  //
                         "menu\n" + kEnter + "PrintMe(-2147483648)\n\n" + "menu\n");
  EXPECT_EQ(run.err, "") << "a doubled value outside the int range is dropped unprinted";
  EXPECT_EQ(run.exit_code, 0);
}

TEST(Dialogue, ChoiceAndNumberOnOneLineAreTakenInTurn) {
  // CR LF line ends are white space like any other.
  const auto run = Talk(kEchoModule, "1 5\r\n  2\t8 3\r\n");
  EXPECT_EQ(run.out, std::string("menu\n") + kEnter + "PrintMe(5)\n\n" + "menu\n" + kEnter +
                         "DoubleValue(8)\n\n" + "menu\n");
}

TEST(Dialogue, TypedThreeIsOnlyANumber) {
  const auto run = Talk(kEchoModule, "1\n3\n3\n");
  EXPECT_EQ(run.out, std::string("menu\n") + kEnter + "PrintMe(3)\n\n" + "menu\n");
  EXPECT_EQ(run.exit_code, 0);
}

TEST(Dialogue, UnreadableChoiceIsInvalidAndTheRestOfItsLineIsDropped) {
  // Text, a number past the int range, a lone sign: each is answered once, and the next line
  // is read afresh.
  const auto run = Talk(kEchoModule, "abc 1 5\n99999999999 2 4\n- 1\n+\n1\n6\n3\n");
  EXPECT_EQ(run.out, std::string("menu\n") + kInvalid + "menu\n" + kInvalid + "menu\n" + kInvalid +
                         "menu\n" + kInvalid + "menu\n" + kEnter + "PrintMe(6)\n\n" + "menu\n");
  EXPECT_EQ(run.exit_code, 0);
}

TEST(Dialogue, UnreadableNumberMakesNoCall) {
  const auto run = Talk(kEchoModule, "1\nfive\n2\n-99999999999\n3\n");
  EXPECT_EQ(run.out,
            std::string("menu\n") + kEnter + kInvalid + "menu\n" + kEnter + kInvalid + "menu\n");
  EXPECT_EQ(run.exit_code, 0);
}

TEST(Dialogue, EndOfInputEndsQuietlyWithStatusZero) {
  struct Case {
    const char* input;
    std::string out;
  };
  const Case cases[] = {
      {"", "menu\n"},
      {" \n\n\t", "menu\n"},
      {"1\n", std::string("menu\n") + kEnter},
      {"2 \n \n", std::string("menu\n") + kEnter},
      {"abc", std::string("menu\n") + kInvalid + "menu\n"},
      {"1\n5", std::string("menu\n") + kEnter + "PrintMe(5)\n\n" + "menu\n"},
  };
  for (const Case& c : cases) {
    const auto run = Talk(kEchoModule, c.input);
    EXPECT_EQ(run.out, c.out) << "input: '" << c.input << "'";
    EXPECT_EQ(run.err, "") << "input: '" << c.input << "'";
    EXPECT_EQ(run.exit_code, 0) << "input: '" << c.input << "'";
  }
}

TEST(Dialogue, EveryCallReleasesItsModuleFunctionsAndResultOnce) {
  // The probe reports each release; see tests/probe/PythonCode.py.
  const std::string released = support::kProbeReleases;
  const std::string menu = "menu\nresult 0 released\n" + released;
  support::Launch launch;
  launch.env = {"PYTHONPATH=" + support::ProbeFolder()};
  const auto run = support::RunProgram(launch, "1 5\n2 7\n3\n");
  EXPECT_EQ(support::InReleaseOrder(run.out),
            menu + kEnter + "PrintMe(5)\nresult 5 released\n" + released + "\n" +  //
                menu + kEnter + "DoubleValue(7)\nresult 14 released\n" + released + "\n" + menu);
  EXPECT_TRUE(support::EndedCleanly(run));
}

TEST(Dialogue, EveryCallImportsTheModuleAfresh) {
  const auto run = Talk(R"py(
print("imported")
calls = 0

def printsomething():
    global calls
    calls += 1
    print("menu, call", calls)

def PrintMe(value):
    global calls
    calls += 1
    print("PrintMe, call", calls)
    return value
)py",
                        "1\n5\n1\n6\n3\n");
  EXPECT_EQ(run.out, std::string("imported\nmenu, call 1\n") + kEnter +
                         "imported\nPrintMe, call 1\n\n" +                                        //
                         "imported\nmenu, call 1\n" + kEnter + "imported\nPrintMe, call 1\n\n" +  //
                         "imported\nmenu, call 1\n");
}

}  // namespace
