// Where the module comes from, the text encoding of what the script writes, and an interpreter
// that cannot start: the program in the environments users run it in.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/program.h"

namespace {

namespace fs = std::filesystem;
using support::Launch;
using support::RunProgram;
using support::TempDir;
using support::WriteModule;

// The shipped module's menu, as the user first sees it.
constexpr char kShippedMenu[] = "1: Show a number\n2: Double a number\n3: Quit\nYour choice (1, 2 or 3):\n";

// A launch with no PYTHONPATH, no LANG and no PATH: nothing set at all.
Launch WithNoEnvironment(const fs::path& directory) {
  Launch launch;
  launch.env = {"PATH", "LANG"};
  launch.directory = directory;
  return launch;
}

TEST(ModuleSearch, ShippedModuleIsFoundFromAnyFolderWithNoEnvironment) {
  const auto run = RunProgram(WithNoEnvironment("/"), "2\n21\n3\n");
  EXPECT_EQ(run.out, std::string(kShippedMenu) + "Enter a number.\n21 doubled is 42.\n\n" +
                         kShippedMenu);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_code, 0);
}

TEST(ModuleSearch, ModuleInTheWorkingFolderIsNeverRunUnlessPythonpathNamesIt) {
  const TempDir untrusted;
  WriteModule(untrusted.path, "print('stray module ran')\ndef printsomething():\n    pass\n");
  const auto ignored = RunProgram(WithNoEnvironment(untrusted.path), "3\n");
  EXPECT_EQ(ignored.out, kShippedMenu);

  Launch opted_in = WithNoEnvironment(untrusted.path);
  opted_in.env.push_back("PYTHONPATH=.");
  EXPECT_EQ(RunProgram(opted_in, "3\n").out, "stray module ran\n");
}

TEST(ModuleSearch, PythonpathWinsOverTheShippedModule) {
  const auto run = support::Talk(support::kEchoModule, "3\n");
  EXPECT_EQ(run.out, "menu\n");
}

TEST(ModuleSearch, ProgramWithoutItsModuleReportsTheFailedImportAndGoesOn) {
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

TEST(ModuleSearch, InstalledProgramFindsItsInstalledModule) {
  const TempDir prefix;
  const std::string install = std::string(SCRIPT_MENU_CMAKE_COMMAND) + " --install \"" +
                              SCRIPT_MENU_BUILD_DIR + "\" --prefix \"" + prefix.path.string() +
                              "\" > /dev/null";
  ASSERT_EQ(std::system(install.c_str()), 0) << install;
  const fs::path installed_module = prefix.path / "share" / "script-menu" / "PythonCode.py";
  ASSERT_TRUE(fs::exists(installed_module));
  // Mark the installed copy, so that finding the build tree's copy instead would show.
  std::ofstream(installed_module, std::ios::app) << "\nprint('installed copy')\n";

  Launch launch = WithNoEnvironment("/");
  launch.program = (prefix.path / "bin" / "script-menu").string();
  const auto run = RunProgram(launch, "3\n");
  EXPECT_EQ(run.out, std::string("installed copy\n") + kShippedMenu);
  EXPECT_EQ(run.exit_code, 0);
}

TEST(Locale, ScriptTextComesOutAsUtf8UnderTheCLocale) {
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
}

TEST(InterpreterStart, FailureEndsTheProgramWithTheReasonNotACrash) {
  const TempDir empty_home;
  Launch launch;
  launch.env = {"PYTHONHOME=" + empty_home.path.string()};
  const auto run = RunProgram(launch, "3\n");
  EXPECT_EQ(run.signal, 0) << "ended by a signal: " << run.err;
  EXPECT_NE(run.exit_code, 0);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("script-menu: cannot start the Python interpreter: "), std::string::npos)
      << run.err;
}

}  // namespace
