// The two bridge operations called directly, in this process: what CallScriptIntFunction gives
// back, and that one process can start and stop the interpreter call after call.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "bridge/script_bridge.h"
#include "support/program.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// Each test's module is found first through PYTHONPATH, which every fresh interpreter reads.
class Bridge : public testing::Test {
 protected:
  void UseModule(const std::string& source) const {
    support::WriteModule(folder_.path, source);
    setenv("PYTHONPATH", folder_.path.c_str(), 1);
  }
  static void UseProbe() { setenv("PYTHONPATH", support::ProbeFolder().c_str(), 1); }
  void TearDown() override { unsetenv("PYTHONPATH"); }

 private:
  support::TempDir folder_;
};

constexpr char kResults[] = R"py(
def Echo(value):
    return value

def Double(value):
    print("doubling", value)
    return value * 2

def Nothing(value):
    return None

def Huge(value):
    return 2 ** 31

def Text(value):
    return "42"

def Fails(value):
    raise LookupError("no such value")

NotAFunction = 42
)py";

TEST_F(Bridge, GivesBackTheIntThatTheFunctionReturns) {
  UseModule(kResults);
  CaptureStdout();
  EXPECT_EQ(CallScriptIntFunction("Double", 21), 42);
  EXPECT_EQ(GetCapturedStdout(), "doubling 21\n");
  for (int value : {0, -7, INT_MIN, INT_MAX}) {
    EXPECT_EQ(CallScriptIntFunction("Echo", value), value);
  }
}

TEST_F(Bridge, GivesMinusOneWhenThereIsNoIntAndPrintsOnlyRealFaults) {
  UseModule(kResults);
  struct Case {
    const char* name;
    const char* printed;  // what must reach standard error; empty for nothing at all
  };
  for (const Case& c :
       {Case{"Nothing", ""}, Case{"Huge", ""}, Case{"Text", ""}, Case{"Missing", ""},
        Case{"NotAFunction", ""}, Case{"Fails", "LookupError: no such value"}}) {
    CaptureStderr();
    EXPECT_EQ(CallScriptIntFunction(c.name, 1), -1) << c.name;
    const std::string err = GetCapturedStderr();
    if (*c.printed == '\0') {
      EXPECT_EQ(err, "") << c.name;
    } else {
      EXPECT_NE(err.find(c.printed), std::string::npos) << c.name << ":\n" << err;
    }
  }
}

TEST_F(Bridge, ReleasesEachReferenceOnceOnEveryPath) {
  // The probe reports its module, functions and results as they are released.
  const std::string released = support::kProbeReleases;
  UseProbe();
  CaptureStdout();
  CaptureStderr();
  RunScriptProcedure("printsomething");
  RunScriptProcedure("Missing");
  RunScriptProcedure("PrintMe");  // raises: it wants an argument
  EXPECT_EQ(CallScriptIntFunction("DoubleValue", 21), 42);
  EXPECT_EQ(CallScriptIntFunction("DoubleValue", 1 << 30), -1);  // a result beyond the int range
  EXPECT_EQ(CallScriptIntFunction("Missing", 1), -1);
  EXPECT_EQ(CallScriptIntFunction("NotCallable", 1), -1);
  EXPECT_EQ(CallScriptIntFunction("printsomething", 1), -1);  // raises: it wants no argument
  const std::string err = GetCapturedStderr();
  EXPECT_EQ(support::InReleaseOrder(GetCapturedStdout()),
            "menu\nresult 0 released\n" + released +  // the menu
                released +                            // no such attribute
                released +                            // a call that raised
                "DoubleValue(21)\nresult 42 released\n" + released +
                "DoubleValue(1073741824)\nresult 2147483648 released\n" + released +
                released +  // no such function
                released +  // not callable
                released);  // a call that raised
  EXPECT_NE(err.find("AttributeError: module 'PythonCode' has no attribute 'Missing'"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("TypeError"), std::string::npos) << err;
}

TEST_F(Bridge, LeavesTheProcessReferenceTotalWhereItWas) {
  // A debug build of the interpreter counts every reference the process holds, across restarts:
  // one that a call takes and never gives back stays in the total for good. Every path of both
  // operations is taken: a module that fails to import, one that puts another object in its place
  // or makes itself an instance of a module subclass, and each way a call can end.
  UseModule(R"py(
import os, sys, types

def Total(value):
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else -1

def printsomething():
    print("menu")

def Echo(value):
    return value

def Huge(value):
    return 2 ** 40

def Fails(value):
    raise LookupError(value)

NotCallable = 42

class Replacement:
    printsomething = staticmethod(printsomething)
    Echo = staticmethod(Echo)
    Fails = staticmethod(Fails)
    NotCallable = NotCallable

    def __getattr__(self, name):
        if name == "Raising":
            raise KeyError(name)
        raise AttributeError(name)

class Subclass(types.ModuleType):
    pass

form = os.environ.get("MODULE_FORM")
if form == "failing":
    raise ImportError("as asked")
if form == "replaced":
    sys.modules[__name__] = Replacement()
if form == "subclassed":
    sys.modules[__name__].__class__ = Subclass
)py");
  if (CallScriptIntFunction("Total", 0) == -1) {
    GTEST_SKIP() << "only a debug build of the interpreter counts its references";
  }
  const auto each_path = [](int times) {
    for (int i = 0; i < times; ++i) {
      for (const char* form : {"plain", "failing", "replaced", "subclassed"}) {
        setenv("MODULE_FORM", form, 1);
        for (const char* name : {"printsomething", "Missing", "Raising", "Fails"}) {
          RunScriptProcedure(name);
        }
        for (const char* name : {"Echo", "Huge", "Fails", "Missing", "NotCallable", "Raising"}) {
          CallScriptIntFunction(name, i);
        }
      }
      unsetenv("MODULE_FORM");
    }
  };
  CaptureStdout();
  CaptureStderr();
  each_path(1);  // what the interpreter keeps for good once it has run each path
  const int before = CallScriptIntFunction("Total", 0);
  each_path(4);
  const int after = CallScriptIntFunction("Total", 0);
  GetCapturedStdout();
  GetCapturedStderr();
  EXPECT_EQ(after, before);
}

TEST_F(Bridge, StartsAndStopsTheInterpreterCallAfterCall) {
  // Extension modules that survive a restart on every release we support (datetime, for one,
  // does not on 3.12: see doc/releases.md).
  UseModule(R"py(
import json, re
calls = []

def printsomething():
    calls.append(1)
    print(len(calls), json.dumps([1]), re.sub("a", "b", "a"))

def Echo(value):
    calls.append(value)
    return len(calls) * 1000 + value
)py");
  CaptureStdout();
  for (int i = 0; i < 30; ++i) {
    RunScriptProcedure("printsomething");
    ASSERT_EQ(CallScriptIntFunction("Echo", i), 1000 + i) << "state carried over at call " << i;
  }
  const std::string out = GetCapturedStdout();
  std::string expected;
  for (int i = 0; i < 30; ++i) {
    expected += "1 [1] b\n";
  }
  EXPECT_EQ(out, expected);
}

}  // namespace
