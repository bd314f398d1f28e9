// Where the module comes from, the text encoding of what the script writes, and an interpreter
// that cannot start: the program in the environments users run it in.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "support/program.h"

namespace {

namespace fs = std::filesystem;
using support::Launch;
using support::RunProgram;
using support::TempDir;
using support::WriteModule;

// The shipped module's menu, as the user first sees it.
constexpr char kShippedMenu[] =
    "1: Show a number\n2: Double a number\n3: Quit\nYour choice (1, 2 or 3):\n";

// A launch with no PYTHONPATH, no LANG and no PATH: nothing set at all.
Launch WithNoEnvironment(const fs::path& directory) {
  Launch launch;
  launch.env = {"PATH", "LANG"};
  launch.directory = directory;
  return launch;
}

// The shipped module's whole dialogue.
constexpr char kShippedInput[] = "1\n5\n2\n21\n3\n";
const std::string kShippedDialogue = std::string(kShippedMenu) +
                                     "Enter a number.\nYou typed 5.\n\n" + kShippedMenu +
                                     "Enter a number.\n21 doubled is 42.\n\n" + kShippedMenu;

// Installs the build into the prefix, as a user would. Named by its component, the install keeps a
// manifest of its own, and the build's install_manifest.txt stays the user's.
bool Install(const fs::path& prefix) {
  const std::string install = std::string(SCRIPT_MENU_CMAKE_COMMAND) + " --install \"" +
                              SCRIPT_MENU_BUILD_DIR + "\" --component Unspecified --prefix \"" +
                              prefix.string() + "\" > /dev/null";
  return std::system(install.c_str()) == 0;
}

TEST(Environment, ShippedModuleIsFoundFromAnyFolderWithNoEnvironment) {
  const auto run = RunProgram(WithNoEnvironment("/"), kShippedInput);
  EXPECT_EQ(run.out, kShippedDialogue);
  EXPECT_TRUE(support::EndedCleanly(run));
}

TEST(Environment, ShippedModuleIsFoundWithoutProc) {
  // /proc is hidden in a namespace of the test's own, as in a container that does not mount it;
  // the program is started by a relative path to a link to it, as from a shell in a folder of
  // links such as ~/bin.
  if (const std::string why = support::WhyProcCannotBeHidden(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  const TempDir links;
  fs::create_symlink(support::ProgramPath(), links.path / "script-menu");
  Launch launch = WithNoEnvironment(links.path);
  launch.program = "/usr/bin/unshare";
  launch.arguments = {
      "--user",  "--map-root-user",
      "--mount", "/bin/sh",
      "-c",      "mount -t tmpfs none /proc && test ! -e /proc/self && exec ./script-menu"};
  const auto run = RunProgram(launch, kShippedInput);
  EXPECT_EQ(run.out, kShippedDialogue);
  EXPECT_TRUE(support::EndedCleanly(run));
}

TEST(Environment, ModuleInTheWorkingFolderIsNeverRunUnlessPythonpathNamesIt) {
  const TempDir untrusted;
  WriteModule(untrusted.path, "print('stray module ran')\ndef printsomething():\n    pass\n");
  const auto ignored = RunProgram(WithNoEnvironment(untrusted.path), "3\n");
  EXPECT_EQ(ignored.out, kShippedMenu);

  Launch opted_in = WithNoEnvironment(untrusted.path);
  opted_in.env.emplace_back("PYTHONPATH=.");
  EXPECT_EQ(RunProgram(opted_in, "3\n").out, "stray module ran\n");
}

TEST(Environment, PythonpathWinsOverTheShippedModule) {
  const auto run = support::Talk(support::kEchoModule, "3\n");
  EXPECT_EQ(run.out, "menu\n");
}

TEST(Environment, PythonpathAScriptSetsCountsFromTheNextCall) {
  const support::TempDir first;
  const support::TempDir second;
  support::WriteModule(first.path,
                       "import os\n\ndef printsomething():\n    print('first')\n\n"
                       "def PrintMe(value):\n    os.environ['PYTHONPATH'] = '" +
                           second.path.string() + "'\n    return value\n");
  support::WriteModule(second.path, "def printsomething():\n    print('second')\n");
  Launch launch;
  launch.env = {"PYTHONPATH=" + first.path.string()};
  const auto run = support::RunProgram(launch, "1 1\n3\n");
  EXPECT_EQ(run.out, "first\nEnter a number.\n\nsecond\n");
  EXPECT_TRUE(support::EndedCleanly(run));
}

TEST(Environment, ProgramWithoutItsModuleReportsTheFailedImportAndGoesOn) {
  // A copy of the program in a folder with no share/ beside it finds no module at all.
  const TempDir elsewhere;
  fs::create_directories(elsewhere.path / "bin");
  const fs::path copy = elsewhere.path / "bin" / "script-menu";
  fs::copy_file(support::ProgramPath(), copy);
  Launch launch = WithNoEnvironment("/");
  launch.program = copy.string();
  const auto run = RunProgram(launch, "1\n5\n3\n");
  EXPECT_EQ(run.out, "Enter a number.\n\n");
  EXPECT_NE(run.err.find("ModuleNotFoundError: No module named 'PythonCode'"), std::string::npos)
      << run.err;
  EXPECT_EQ(run.exit_code, 0);
}

// Every file and folder under a folder, with its size and when it was last changed.
std::set<std::string> Contents(const fs::path& folder) {
  std::set<std::string> contents;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    contents.insert(entry.path().string() + " " +
                    (entry.is_regular_file() ? std::to_string(entry.file_size()) : "folder") + " " +
                    std::to_string(entry.last_write_time().time_since_epoch().count()));
  }
  return contents;
}

TEST(Environment, InstalledProgramRunsItsInstalledModuleAndWritesNothingThere) {
  const TempDir prefix;
  ASSERT_TRUE(Install(prefix.path));
  const auto installed = Contents(prefix.path);
  Launch launch = WithNoEnvironment("/");
  launch.program = (prefix.path / "bin" / "script-menu").string();
  EXPECT_EQ(RunProgram(launch, kShippedInput).out, kShippedDialogue);
  EXPECT_EQ(Contents(prefix.path), installed) << "the interpreter wrote under the installation";

  // Mark the installed copy, so that finding the build tree's copy instead would show.
  std::ofstream(prefix.path / "share" / "script-menu" / "PythonCode.py", std::ios::app)
      << "\nprint('installed copy')\n";
  EXPECT_EQ(RunProgram(launch, "3\n").out, std::string("installed copy\n") + kShippedMenu);
}

TEST(Environment, ActivatedVirtualEnvironmentIsUsedWhenItIsOfThisInterpreter) {
  // As the activated shell's python3 would: the environment's sys.prefix, its site-packages and
  // their .pth files, and the installation's own folders as its base, at a fresh image's start and
  // at a restart in the same process alike. One of another interpreter is not used, and the
  // program says so once, though the first call is followed by a fresh image. It is the one the
  // program started in: a script's change of VIRTUAL_ENV does not move later calls.
  const TempDir folder;
  const fs::path ours = folder.path / "ours";
  const std::string make_environment =
      std::string(SCRIPT_MENU_PYTHON_EXECUTABLE) + " -m venv --without-pip '" + ours.string() + "'";
  ASSERT_EQ(std::system(make_environment.c_str()), 0) << make_environment;
  FILE* asked = popen(("'" + (ours / "bin" / "python3").string() +
                       "' -c 'import site; print(site.getsitepackages()[0])'")
                          .c_str(),
                      "r");
  char site_packages[4096] = {};
  ASSERT_NE(std::fgets(site_packages, sizeof site_packages, asked), nullptr);
  pclose(asked);
  const fs::path packages = std::string(site_packages, std::strcspn(site_packages, "\n"));
  std::ofstream(packages / "in_the_environment.py") << "where = 'in the environment'\n";
  std::ofstream(packages / "noted.pth") << "import sys; sys.noted = 'and its .pth files'\n";
  const fs::path foreign = folder.path / "foreign";
  fs::create_directories(foreign / "bin");
  std::ofstream(foreign / "pyvenv.cfg") << "home = /nonexistent/bin\nversion = 3.0.0\n";
  std::ofstream(foreign / "bin" / "python3") << "#!/bin/sh\n";
  const std::string module = R"py(
import os, sys, threading, time

def printsomething():
    activated = os.environ.setdefault("ACTIVATED", os.environ["VIRTUAL_ENV"])
    installation = activated not in (sys.base_prefix, sys.base_exec_prefix)
    try:
        import in_the_environment
        print(sys.prefix == activated, installation, in_the_environment.where,
              getattr(sys, "noted", ""))
    except ImportError:
        print(sys.prefix == activated, installation, "not found")
    if "LEFT_A_THREAD" not in os.environ:
        os.environ["LEFT_A_THREAD"] = "1"
        os.environ["VIRTUAL_ENV"] = "/nonexistent"  # the shell's environment still counts
        threading.Thread(target=time.sleep, args=(60,), daemon=True).start()
)py";
  for (const auto& [environment, out, err] :
       {std::tuple<fs::path, std::string, std::string>{
            ours, "True True in the environment and its .pth files\n", ""},
        {foreign, "False True not found\n",
         "script-menu: the activated virtual environment " + foreign.string() + " is not one of " +
             SCRIPT_MENU_PYTHON_EXECUTABLE +
             ", which the program is built against: it is not "
             "used\n"}}) {
    Launch launch;
    launch.env = {"VIRTUAL_ENV=" + environment.string()};
    const auto run = support::Talk(module, "7\n7\n3\n", launch);
    std::string expected = out;
    for (int cycle = 0; cycle < 2; ++cycle) {
      expected += "Invalid input, try again.\n";
      expected += out;
    }
    EXPECT_EQ(run.out, expected) << environment;
    EXPECT_EQ(run.err, err) << environment;
  }
}

TEST(Environment, ScriptTextComesOutAsUtf8UnderTheCLocale) {
  for (const char* locale : {"LANG", "LC_ALL=C", "LC_ALL=POSIX"}) {
    Launch launch;
    launch.env = {"LANG", locale};
    const auto run = support::Talk(
        "def printsomething():\n    print('Grüße → ✓')\n"
        "def PrintMe(value):\n    print('№', value)\n    return value\n",
        "1\n7\n3\n", launch);
    EXPECT_EQ(run.out, "Grüße → ✓\nEnter a number.\n№ 7\n\nGrüße → ✓\n") << locale;
    EXPECT_EQ(run.err, "") << locale;
  }
  // An encoding the user asks for wins there too.
  Launch latin1;
  latin1.env = {"LANG", "LC_ALL=C", "PYTHONIOENCODING=latin-1"};
  const auto run = support::Talk("def printsomething():\n    print('Grüße')\n", "3\n", latin1);
  EXPECT_EQ(run.out,
            "Gr\xfc\xdf"
            "e\n");
  EXPECT_EQ(run.err, "");
}

TEST(Environment, InterpreterUsesTheInstallationItWasBuiltAgainstWhateverPython3IsOnPath) {
  // A python3 first on PATH, beside what looks like a standard library of the same release but is
  // none: an interpreter that located its installation from PATH could not start.
  const TempDir decoy;
  fs::create_directories(decoy.path / "bin");
  const fs::path library =
      decoy.path / "lib" / (std::string("python") + SCRIPT_MENU_PYTHON_VERSION);
  fs::create_directories(library / "lib-dynload");
  std::ofstream(decoy.path / "bin" / "python3") << "#!/bin/sh\nexit 1\n";
  fs::permissions(decoy.path / "bin" / "python3", fs::perms::owner_all);
  std::ofstream(library / "os.py") << "raise SystemExit('the decoy library was used')\n";

  Launch launch;
  launch.env = {"PATH=" + (decoy.path / "bin").string() + ":/usr/bin:/bin"};
  const auto run = support::Talk(support::kEchoModule, "1\n5\n3\n", launch);
  EXPECT_EQ(run.out, "menu\nEnter a number.\nPrintMe(5)\n\nmenu\n");
  EXPECT_TRUE(support::EndedCleanly(run));
}

TEST(Environment, EveryCallHasTheAllocatorAndLoaderThatTheProgramStartedWith) {
  // A script may set these for the processes it starts. A later interpreter of the program's own
  // process that took another allocator would free the first one's memory with it, and crash; a
  // fresh image of the program started with the script's LD_PRELOAD would load that library. The
  // script's environment is the next call's all the same.
  const std::string module = R"py(
import json, os, re, threading, time

def printsomething():
    print("menu", os.environ.get("PYTHONMALLOC"), os.environ.get("PYTHONDEVMODE"),
          os.environ.get("LD_PRELOAD"))

def PrintMe(value):
    os.environ["PYTHONMALLOC"] = os.environ["OTHER" if os.environ.get("PYTHONMALLOC") else "ONE"]
    os.environ.pop("PYTHONDEVMODE", None)
    os.environ["LD_PRELOAD"] = "/nonexistent/library.so"
    if os.environ.get("THREAD"):
        threading.Thread(target=time.sleep, args=(60,), daemon=True).start()
    return value

def DoubleValue(value):
    os.environ["PYTHONDEVMODE"] = "1"
    os.environ.pop("PYTHONMALLOC", None)
    return value
)py";
  // Two allocators of the release's (a free-threaded build has mimalloc alone).
#ifdef SCRIPT_MENU_FREE_THREADED
  const std::string one = "mimalloc";
  const std::string other = "mimalloc_debug";
#else
  const std::string one = "malloc";
  const std::string other = "pymalloc";
#endif
  for (const char* thread : {"THREAD", "THREAD=1"}) {
    for (const std::vector<std::string>& env :
         {std::vector<std::string>{thread},
          std::vector<std::string>{thread, "PYTHONMALLOC=" + one, "PYTHONDEVMODE=1"}}) {
      Launch launch;
      launch.env = env;
      launch.env.insert(launch.env.end(), {"ONE=" + one, "OTHER=" + other});
      const std::string start = env.size() == 1 ? "menu None None " : "menu " + one + " 1 ";
      const auto run = support::Talk(module, "1 5\n2 6\n1 5\n3\n", launch);
      std::string expected = start + "None\n";
      for (int call = 0; call < 3; ++call) {
        expected += "Enter a number.\n\n" + start + "/nonexistent/library.so\n";
      }
      EXPECT_EQ(run.out, expected) << start << thread;
      EXPECT_EQ(run.err, "") << start << thread;
      EXPECT_EQ(run.exit_code, 0) << start << thread;
    }
  }
}

// The entries of a program's run path, as readelf shows them; empty when it has none.
std::vector<std::string> RunPath(const fs::path& program) {
  const std::string command = "readelf --dynamic '" + program.string() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  std::string shown;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    shown.append(buffer, n);
  }
  EXPECT_EQ(pclose(pipe), 0) << command;
  std::vector<std::string> entries;
  for (const char* tag : {"(RPATH)", "(RUNPATH)"}) {
    const auto at = shown.find(tag);
    if (at == std::string::npos) {
      continue;
    }
    const auto begin = shown.find('[', at) + 1;
    const std::string path = shown.substr(begin, shown.find(']', begin) - begin);
    std::size_t from = 0;
    for (std::size_t colon; (colon = path.find(':', from)) != std::string::npos; from = colon + 1) {
      entries.push_back(path.substr(from, colon - from));
    }
    entries.push_back(path.substr(from));
  }
  return entries;
}

TEST(Environment, NoProgramLooksForLibrariesInTheWorkingFolder) {
  // Each program's run path names the folder of the libpython it is built against, when the
  // loader would not search that folder anyway, and nothing else: an empty or relative entry is
  // taken from the folder the program is run in, where a planted library would run in its place.
  std::vector<std::string> expected;
  if (*SCRIPT_MENU_RUN_PATH != '\0') {
    expected.emplace_back(SCRIPT_MENU_RUN_PATH);
  }
  const TempDir prefix;
  ASSERT_TRUE(Install(prefix.path));
  for (const fs::path& program :
       {fs::path(support::ProgramPath()), prefix.path / "bin" / "script-menu",
        fs::read_symlink("/proc/self/exe")}) {
    EXPECT_EQ(RunPath(program), expected) << program;
  }
}

TEST(Environment, FailedInterpreterStartEndsTheProgramWithTheReasonNotACrash) {
  // No standard library, which older releases take for a fatal error and abort on; and a setting
  // they take for the user's error, and exit on.
  const TempDir empty_home;
  for (const auto& [setting, reason] :
       {std::pair<std::string, std::string>{"PYTHONHOME=" + empty_home.path.string(), "encoding"},
        {"PYTHONHASHSEED=bogus", "PYTHONHASHSEED must be"}}) {
    Launch launch;
    launch.env = {setting};
    const auto run = RunProgram(launch, "3\n");
    EXPECT_EQ(run.signal, 0) << "ended by a signal: " << run.err;
    EXPECT_EQ(run.exit_code, 1) << setting;
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
    const auto said = run.err.find("script-menu: cannot start the Python interpreter: ");
    EXPECT_NE(said, std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("script-menu:", said + 1), std::string::npos) << run.err;
  }
}

}  // namespace
