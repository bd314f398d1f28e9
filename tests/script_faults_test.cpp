// What the user sees when the script module misbehaves: the dialogue goes on, and the
// interpreter's reports reach standard error exactly where they should and nowhere else.
#include <gtest/gtest.h>

#include "support/program.h"

namespace {

using support::Talk;

constexpr char kEnter[] = "Enter a number.\n";

// A script whose PrintMe and DoubleValue are replaced by the given lines.
std::string ModuleWith(const std::string& functions) {
  return "import sys\n\ndef printsomething():\n    print('menu')\n\n" + functions;
}

TEST(ScriptFaults, ExceptionOfANumberFunctionIsReportedWithItsTraceback) {
  const auto run = Talk(ModuleWith("def DoubleValue(value):\n"
                                   "    raise ValueError('no doubling ' + str(value))\n"),
                        "2\n21\n3\n");
  EXPECT_EQ(run.out, std::string("menu\n") + kEnter + "\n" + "menu\n");
  EXPECT_NE(run.err.find("Traceback (most recent call last):"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("ValueError: no doubling 21"), std::string::npos) << run.err;
  EXPECT_EQ(run.exit_code, 0);
}

TEST(ScriptFaults, ExitFromANumberFunctionEndsTheProgramWithItsStatus) {
  const auto run = Talk(ModuleWith("def DoubleValue(value):\n"
                                   "    print('leaving')\n    sys.exit(4)\n"),
                        "2\n21\n3\n");
  EXPECT_EQ(run.out, std::string("menu\n") + kEnter + "leaving\n") << "no empty line follows";
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_code, 4);
}

TEST(ScriptFaults, ExceptionOrExitOfTheMenuProcedureIsDroppedUnprinted) {
  for (const char* raise :
       {"raise RuntimeError('menu broke')", "sys.exit(3)", "raise KeyboardInterrupt"}) {
    const auto run = Talk(std::string("import sys\n"
                                      "def printsomething():\n    print('menu')\n    ") +
                              raise + "\n",
                          "7\n3\n");
    EXPECT_EQ(run.out, "menu\nInvalid input, try again.\nmenu\n") << raise;
    EXPECT_EQ(run.err, "") << raise;
    EXPECT_EQ(run.exit_code, 0) << raise;
  }
}

TEST(ScriptFaults, ExitInTheModulesTopLevelCodeEndsTheProgram) {
  const auto run = Talk("import sys\nprint('starting')\nsys.exit(5)\n", "1\n5\n3\n");
  EXPECT_EQ(run.out, "starting\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_code, 5);
}

TEST(ScriptFaults, ModuleThatFailsToImportIsReportedOnEveryCall) {
  const auto run = Talk("raise RuntimeError('broken module')\n", "1\n5\n3\n");
  EXPECT_EQ(run.out, std::string(kEnter) + "\n");
  std::size_t reports = 0;
  for (auto at = run.err.find("RuntimeError: broken module"); at != std::string::npos;
       at = run.err.find("RuntimeError: broken module", at + 1)) {
    ++reports;
  }
  EXPECT_EQ(reports, 3U) << "two menus and one number action:\n" << run.err;
  EXPECT_EQ(run.exit_code, 0);
}

TEST(ScriptFaults, MissingMenuProcedureIsReported) {
  const auto run = Talk("def PrintMe(value):\n    return value\n", "3\n");
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("AttributeError"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("printsomething"), std::string::npos) << run.err;
  EXPECT_EQ(run.exit_code, 0);
}

TEST(ScriptFaults, ModuleReplacedOrSubclassedIsCalledThroughWhatTheImportGives) {
  // A known idiom: the import gives that object, and the functions are its attributes.
  const auto replaced = Talk(R"py(
import sys

class Functions:
    def printsomething(self):
        print("menu")

    def PrintMe(self, value):
        print("PrintMe", value)
        return value

    DoubleValue = 42  # not callable: skipped, as in a module

sys.modules[__name__] = Functions()
)py",
                             "1 5\n2 6\n3\n");
  EXPECT_EQ(replaced.out,
            std::string("menu\n") + kEnter + "PrintMe 5\n\nmenu\n" + kEnter + "\nmenu\n");
  EXPECT_TRUE(support::EndedCleanly(replaced));

  // A module made an instance of a module subclass, the usual way to give a module properties:
  // what the subclass gives is found as python3 finds it. A plain module is asked its dictionary
  // only, so a module-level __getattr__ gives no number function.
  const auto subclassed = Talk(R"py(
import sys, types

def printsomething():
    print("menu")

class WithProperties(types.ModuleType):
    def __getattr__(self, name):
        if name == "PrintMe":
            return lambda value: print("PrintMe", value) or value
        raise AttributeError(name)

    def DoubleValue(self, value):
        print("DoubleValue", value)
        return 2 * value

sys.modules[__name__].__class__ = WithProperties
)py",
                               "1 5\n2 6\n3\n");
  EXPECT_EQ(subclassed.out, std::string("menu\n") + kEnter + "PrintMe 5\n\nmenu\n" + kEnter +
                                "DoubleValue 6\n\nmenu\n");
  EXPECT_EQ(subclassed.err, "");
  const auto plain = Talk(
      "def printsomething():\n    print('menu')\n\n"
      "def __getattr__(name):\n    return lambda value: print('module-level', name, value)\n",
      "1 5\n2 6\n3\n");
  EXPECT_EQ(plain.out, std::string("menu\n") + kEnter + "\nmenu\n" + kEnter + "\nmenu\n");
  EXPECT_EQ(plain.err, "");

  // An object without them: the menu procedure is reported missing, as for a module; a missing
  // number function is skipped unprinted, as for a module.
  const auto bare = Talk("import sys\nsys.modules[__name__] = 42\n", "1\n5\n3\n");
  EXPECT_EQ(bare.out, std::string(kEnter) + "\n");
  EXPECT_NE(bare.err.find("'int' object has no attribute 'printsomething'"), std::string::npos)
      << bare.err;
  EXPECT_EQ(bare.err.find("PrintMe"), std::string::npos) << bare.err;
  EXPECT_EQ(bare.signal, 0);
  EXPECT_EQ(bare.exit_code, 0);
}

TEST(ScriptFaults, ChildThatAScriptForksEndsWithItsCallAndOneDialogueGoesOn) {
  // The child's status is the one its call gives, as under python3: 0 when it returns, 1 when it
  // raises, and that of its SystemExit. What the child wrote is out before the parent reads on.
  const auto run = Talk(R"py(
import os, sys

def in_a_child(body):
    child = os.fork()
    if child == 0:
        body()
        return
    _, status = os.waitpid(child, 0)
    print("the child ended with", status >> 8)

def printsomething():
    print("menu")

def PrintMe(value):
    in_a_child(lambda: print("child of PrintMe", value))
    return value

def DoubleValue(value):
    def fail():
        print("child of DoubleValue", value, flush=True)
        if value == 7:
            sys.exit(7)
        raise ValueError("in the child")
    in_a_child(fail)
    return value
)py",
                        "1 5\n2 6\n2 7\n3\n");
  EXPECT_EQ(run.out, std::string("menu\n") + kEnter +
                         "child of PrintMe 5\nthe child ended with 0\n\n" + "menu\n" + kEnter +
                         "child of DoubleValue 6\nthe child ended with 1\n\n" + "menu\n" + kEnter +
                         "child of DoubleValue 7\nthe child ended with 7\n\n" + "menu\n");
  EXPECT_NE(run.err.find("ValueError: in the child"), std::string::npos) << run.err;
  EXPECT_EQ(run.exit_code, 0);

  // A child forked by the module's top-level code, whose import then fails, and one forked by the
  // menu procedure: each ends by itself, with the status of its own import and call.
  const auto at_import = Talk(R"py(
import os

def ended_with(child):
    _, status = os.waitpid(child, 0)
    return os.WIFEXITED(status) and os.WEXITSTATUS(status)

child = os.fork()
if child == 0:
    raise ValueError("the child's import fails")
print("the import's child ended with", ended_with(child), flush=True)

def printsomething():
    child = os.fork()
    if child == 0:
        print("child of printsomething")
        return
    print("menu; its child ended with", ended_with(child))

def PrintMe(value):
    return value
)py",
                              "1 5\n3\n");
  const std::string import = "the import's child ended with 1\n";
  const std::string menu = import + "child of printsomething\nmenu; its child ended with 0\n";
  EXPECT_EQ(at_import.out, menu + kEnter + import + "\n" + menu);
  std::size_t reports = 0;
  for (std::size_t at = 0;
       (at = at_import.err.find("ValueError: the child's import fails", at)) != std::string::npos;
       ++at) {
    ++reports;
  }
  EXPECT_EQ(reports, 3U) << at_import.err;
  EXPECT_EQ(at_import.exit_code, 0);

  // A child whose import puts in the module's place an object that raises when asked for a
  // function: its call fails, as under python3.
  const auto at_look_up = Talk(R"py(
import os, sys

class Raising:
    def __getattr__(self, name):
        raise KeyError(name)

def printsomething():
    print("menu")

child = os.fork()
if child == 0:
    sys.modules[__name__] = Raising()
else:
    _, status = os.waitpid(child, 0)
    print("the child ended with", os.WIFEXITED(status) and os.WEXITSTATUS(status), flush=True)
)py",
                               "1 5\n3\n");
  const std::string ended = "the child ended with 1\n";
  EXPECT_EQ(at_look_up.out, ended + "menu\n" + kEnter + ended + "\n" + ended + "menu\n");
  EXPECT_EQ(at_look_up.exit_code, 0);

  // A child forked by an exit function, as the shut-down runs it: its call has ended too, so it
  // ends there with its status; it never goes on to a dialogue of its own.
  const auto at_exit = Talk(R"py(
import atexit, os

def printsomething():
    print("menu")

def PrintMe(value):
    print(value)
    return value

if "FORKED_AT_EXIT" not in os.environ:
    os.environ["FORKED_AT_EXIT"] = "1"

    @atexit.register
    def fork():
        try:
            child = os.fork()
        except RuntimeError:  # 3.12 forks nothing at the shut-down: no child to end
            print("the exit function's child ended with 0", flush=True)
            return
        if child != 0:
            _, status = os.waitpid(child, 0)
            print("the exit function's child ended with",
                  os.WIFEXITED(status) and os.WEXITSTATUS(status), flush=True)
)py",
                            "1 5\n3\n");
  EXPECT_EQ(at_exit.out,
            std::string("menu\nthe exit function's child ended with 0\n") + kEnter + "5\n\nmenu\n");
  EXPECT_TRUE(support::EndedCleanly(at_exit));
}

TEST(ScriptFaults, ExitInTheModulesTopLevelCodeDuringANumberCallEndsTheProgram) {
  // The environment outlives each interpreter, so the first call can arm the second.
  const auto run = Talk(R"py(
import os, sys
if os.environ.get("ARMED"):
    print("leaving")
    sys.exit(6)

def printsomething():
    os.environ["ARMED"] = "1"
    print("menu")

def PrintMe(value):
    print("not reached")
    return value
)py",
                        "1\n5\n3\n");
  EXPECT_EQ(run.out, std::string("menu\n") + kEnter + "leaving\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_code, 6);
}

TEST(ScriptFaults, ExitEndsTheProgramWhateverInspectModeAsks) {
  // Inspect mode would print the exit as a traceback and carry on; it can be asked for by the
  // environment the program starts in, or by a script for the calls after it.
  const std::string module = ModuleWith(
      "import os\n"
      "def PrintMe(value):\n    os.environ['PYTHONINSPECT'] = '1'\n    return value\n"
      "def DoubleValue(value):\n    sys.exit(4)\n");
  support::Launch asked_by_environment;
  asked_by_environment.env = {"PYTHONINSPECT=1"};
  const auto by_environment = Talk(module, "2\n21\n3\n", asked_by_environment);
  EXPECT_EQ(by_environment.out, std::string("menu\n") + kEnter);
  EXPECT_EQ(by_environment.err, "");
  EXPECT_EQ(by_environment.exit_code, 4);

  // At the very first call too, in the module's top-level code.
  const auto at_once = Talk("import sys\nsys.exit(5)\n", "3\n", asked_by_environment);
  EXPECT_EQ(at_once.out, "");
  EXPECT_EQ(at_once.err, "");
  EXPECT_EQ(at_once.exit_code, 5);

  const auto by_script = Talk(module, "1\n5\n2\n21\n3\n");
  EXPECT_EQ(by_script.out, std::string("menu\n") + kEnter + "\nmenu\n" + kEnter);
  EXPECT_EQ(by_script.err, "");
  EXPECT_EQ(by_script.exit_code, 4);
}

}  // namespace
