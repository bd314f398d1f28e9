// The standard library's own extension modules, each imported in one interpreter after another as
// the program restarts them: what does not survive that must be listed, so that a call that
// imports it is followed by a fresh image. Slow (every module, three interpreters each), it has a
// time limit of its own (CMakeLists.txt).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bridge/call_leftovers.h"
#include "bridge/script_bridge.h"
#include "support/program.h"

namespace {

namespace fs = std::filesystem;
using support::TempDir;

// The standard library's extension modules, each with the module of the same name without its
// underscore (ctypes for _ctypes), which exercises it: "_ctypes ctypes" per line.
std::vector<std::string> StandardExtensionModules() {
  const std::string command = std::string(SCRIPT_MENU_PYTHON_EXECUTABLE) + R"( -c '
import importlib.machinery, importlib.util, os, sys, sysconfig
folder = sysconfig.get_config_var("DESTSHARED")
names = set(sys.builtin_module_names) - {"builtins", "sys", "_imp", "_io", "marshal", "posix",
                                         "_thread", "_warnings", "_weakref"}
for file in os.listdir(folder):
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        if file.endswith(suffix) and "." not in file[:-len(suffix)]:
            names.add(file[:-len(suffix)])
            break
for name in sorted(names):
    public = name.lstrip("_")
    try:
        found = public != name and importlib.util.find_spec(public) is not None
    except Exception:
        found = False
    print(name, public if found else "")
')";
  std::vector<std::string> cases;
  FILE* listing = popen(command.c_str(), "r");
  char line[256];
  while (listing != nullptr && std::fgets(line, sizeof line, listing) != nullptr) {
    cases.emplace_back(line, std::strcspn(line, "\n"));
  }
  if (listing != nullptr) {
    pclose(listing);
  }
  return cases;
}

// Imports the modules of `case_modules` in three interpreters in turn, in a child of this
// process, and tells what each did: "ok", what it raised, and for the first the modules it loaded.
struct Restarts {
  std::string out;
  std::string err;
  int status = 0;
};

Restarts RestartWith(const std::string& case_modules, const fs::path& module_folder) {
  int out[2];
  int err[2];
  Restarts restarts;
  if (pipe(out) != 0 || pipe(err) != 0) {
    return restarts;
  }
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    close(out[0]);
    close(err[0]);
    setenv("PYTHONPATH", module_folder.c_str(), 1);
    setenv("RESTARTED", case_modules.c_str(), 1);
    for (int round = 0; round < 3; ++round) {
      CallScriptIntFunction("Import", round);
    }
    _exit(0);
  }
  close(out[1]);
  close(err[1]);
  for (const auto& [from, into] : {std::pair{out[0], &restarts.out}, {err[0], &restarts.err}}) {
    char buffer[4096];
    for (ssize_t n; (n = read(from, buffer, sizeof buffer)) > 0;) {
      into->append(buffer, static_cast<std::size_t>(n));
    }
    close(from);
  }
  waitpid(child, &restarts.status, 0);
  return restarts;
}

TEST(StandardLibrary, EveryExtensionModuleThatCannotRestartIsListed) {
  // What the program restarts in one process must run at the second start as at the first. A
  // module that does not, on a release newly supported, is to be listed in
  // StandardModulesThatCannotRestart(), so that the call after it starts in a fresh image.
  const TempDir folder;
  support::WriteModule(folder.path, R"py(
import importlib, os, sys

def Import(round):
    print("round", round, file=sys.stderr, flush=True)
    for name in os.environ["RESTARTED"].split():
        try:
            importlib.import_module(name)
            print(round, name, "ok")
        except Exception as error:
            print(round, name, type(error).__name__, error)
    if round == 0:
        print("loaded", *sorted(sys.modules), flush=True)
    return 0
)py");
  const std::vector<std::string>& listed = StandardModulesThatCannotRestart();
  const auto is_listed = [&](const std::string& name) {
    return std::find(listed.begin(), listed.end(), name) != listed.end();
  };
  const std::vector<std::string> cases = StandardExtensionModules();
  ASSERT_GT(cases.size(), 20U) << "the release's extension modules could not be listed";
  for (const std::string& modules : cases) {
    const std::string name = modules.substr(0, modules.find(' '));
    const Restarts run = RestartWith(modules, folder.path);
    std::istringstream lines(run.out);
    std::string first_round;   // what round 0 printed of each module
    std::string later_rounds;  // the same for rounds 1 and 2, which must match it
    std::set<std::string> loaded;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("loaded ", 0) == 0) {
        std::istringstream names(line.substr(7));
        for (std::string loaded_name; names >> loaded_name;) {
          loaded.insert(loaded_name);
        }
      } else if (line.rfind("0 ", 0) == 0) {
        first_round += line.substr(2) + "\n";
      } else {
        later_rounds += line.substr(2) + "\n";
      }
    }
    if (loaded.empty()) {
      continue;  // the first import did not get through (a sanitizer's own limits, say)
    }
    // What each round wrote on standard error (a deprecation warning, every time) must match.
    const std::string round_one = "round 1\n";
    const std::string round_two = "round 2\n";
    const auto at_one = run.err.find(round_one);
    const auto at_two = run.err.find(round_two);
    const bool same_errors =
        at_one != std::string::npos && at_two != std::string::npos &&
        run.err.substr(8, at_one - 8) == run.err.substr(at_one + 8, at_two - at_one - 8) &&
        run.err.substr(8, at_one - 8) == run.err.substr(at_two + 8);
    const bool survives = WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0 && same_errors &&
                          later_rounds == first_round + first_round;
    const bool covered = std::any_of(loaded.begin(), loaded.end(), is_listed) || is_listed(name);
    EXPECT_TRUE(survives || covered)
        << modules << " does not survive a restart on CPython " << SCRIPT_MENU_PYTHON_RELEASE
        << ": list " << name << " (or what it imports) in StandardModulesThatCannotRestart().\n"
        << run.out << run.err;
  }
}

}  // namespace
