// What a call leaves that no interpreter can be started beside in one process: an extension module
// that does not survive a restart, a descriptor it opened, memory past the bound (and threads:
// threads_test.cpp). The call after starts in a fresh image of the program, in the same process:
// every module runs at every call as under a python3 process per call, and nothing grows.
#include <gtest/gtest.h>
#include <link.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/call_leftovers.h"
#include "bridge/script_bridge.h"
#include "support/program.h"

namespace {

namespace fs = std::filesystem;
using support::Launch;
using support::Talk;
using support::TempDir;

// Whether the build's python3 can import a module (one of Debian's python3-* packages, say).
bool Importable(const std::string& module) {
  const std::string command =
      std::string(SCRIPT_MENU_PYTHON_EXECUTABLE) + " -c 'import " + module + "' > /dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// The top of a module that imports the suite's own extension modules.
const std::string kWithTheSuitesExtensions =
    std::string("import sys\nsys.path.append('") + SCRIPT_MENU_EXTENSIONS_DIR + "')\n";

int Release() { return std::stoi(std::string(SCRIPT_MENU_PYTHON_VERSION).substr(2)); }

struct Module {
  const char* name;
  const char* imports;   // the module's import statement
  const char* use;       // an expression that uses it
  const char* shows;     // what str() of that gives
  const char* needs;     // a module this release must be able to import, or "" for none
  int since = 6;         // the first 3.x release that has it
  const char* env = "";  // NAME=value the program starts with, if any
};

void PrintTo(const Module& module, std::ostream* out) { *out << module.name; }

class ModulesThatCannotRestart : public testing::TestWithParam<Module> {};

TEST_P(ModulesThatCannotRestart, RunAtEveryCall) {
  const Module& module = GetParam();
  if (Release() < module.since) {
    GTEST_SKIP() << "needs CPython 3." << module.since;
  }
  if (*module.needs != '\0' && !Importable(module.needs)) {
    GTEST_SKIP() << "this release cannot import " << module.needs << " (Debian's python3-"
                 << module.needs << " serves the default build)";
  }
  const std::string use = std::string("str(") + module.use + ")";
  Launch launch;
  launch.patience = support::PatienceForCalls(6);  // numpy's import alone, at each of them
  if (*module.env != '\0') {
    launch.env = {module.env};
  }
  const auto run =
      Talk(kWithTheSuitesExtensions + std::string(module.imports) +
               "\n\ndef printsomething():\n    print(" + use +
               ")\n\ndef PrintMe(value):\n    print(value, " + use + ")\n    return value\n",
           "1 1\n1 2\n1 3\n3\n", launch);
  const std::string shows = std::string(module.shows) + "\n";
  const std::string expected = shows + "Enter a number.\n1 " + shows + "\n" + shows +
                               "Enter a number.\n2 " + shows + "\n" + shows +
                               "Enter a number.\n3 " + shows + "\n" + shows;
  EXPECT_EQ(run.out, expected);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exit_code, 0);
}

INSTANTIATE_TEST_SUITE_P(
    ThirdPartyAndStandard, ModulesThatCannotRestart,
    testing::Values(
        // Built with the suite, each as a third party's.
        Module{"RefusingASecondInitialisation", "import once", "once.greeting", "hello once", ""},
        Module{"KeepingAnObjectOfItsOwn", "import keeps_static", "keeps_static.initialisations",
               "1", ""},
        // The PyGILState functions it calls are the program's stand-ins, however it is linked.
        Module{"FindingTheInterpretersGilStateWhereTheProgramPutsIt", "import keeps_static",
               "keeps_static.gil_state_from_program()", "(True, True)", ""},
        // Debian's own, for the default build.
        Module{"Numpy", "import numpy", "numpy.arange(4).sum()", "6", "numpy"},
        Module{"YamlWithItsCLoader", "import yaml", "yaml.load('a: 1', Loader=yaml.CLoader)",
               "{'a': 1}", "yaml"},
        Module{"CryptographyWithPyO3", "from cryptography.hazmat.primitives import hashes",
               "hashes.Hash(hashes.SHA256()).finalize().hex()[:8]", "e3b0c442", "cryptography"},
        Module{"Lxml", "import lxml.etree", "lxml.etree.fromstring('<a>1</a>').text", "1", "lxml"},
        // The standard library's own exceptions on some releases.
        Module{"Decimal", "import decimal", "decimal.Decimal(1) / 8", "0.125", ""},
        Module{"Tracemalloc", "import tracemalloc",
               "tracemalloc.start() or tracemalloc.is_tracing()", "True", ""},
        Module{"Zoneinfo", "import zoneinfo", "zoneinfo.ZoneInfo.__name__", "ZoneInfo", "", 9},
        // Started with the interpreter, which no module shows.
        Module{"TracemallocFromTheStart", "import sys", "sys.version_info[0]", "3", "", 6,
               "PYTHONTRACEMALLOC=1"}),
    [](const testing::TestParamInfo<Module>& info) { return info.param.name; });

// A module whose printsomething shows where the image's stack begins, which every fresh image
// moves (address space layout randomisation), and whose PrintMe runs `statement`.
std::string ImageShowingModule(const std::string& statement) {
  return kWithTheSuitesExtensions + R"py(
import os, threading, time

def printsomething():
    with open("/proc/self/stat") as stat:
        print(stat.read().rsplit(")", 1)[1].split()[25])

def PrintMe(value):
)py" + statement +
         "\n    return value\n";
}

struct Call {
  const char* name;
  const char* print_me;     // PrintMe's body
  bool fresh_image;         // whether the call after it starts in a fresh image
  const char* not_on = "";  // a release whose list makes this a fresh image too (3.12.1)
};

void PrintTo(const Call& call, std::ostream* out) { *out << call.name; }

class CallsThatLeave : public testing::TestWithParam<Call> {};

TEST_P(CallsThatLeave, AFreshImageExactlyWhenTheyMust) {
  if (std::ifstream("/proc/sys/kernel/randomize_va_space").get() == '0') {
    GTEST_SKIP() << "address space layout randomisation is off: a fresh image cannot be told";
  }
  const Call& call = GetParam();
  if (std::string(SCRIPT_MENU_PYTHON_RELEASE) == call.not_on) {
    GTEST_SKIP() << "CPython " << call.not_on << " lists what this call imports";
  }
  const auto run = Talk(ImageShowingModule(call.print_me), "1 1\n1 2\n3\n");
  EXPECT_TRUE(support::EndedCleanly(run));
  std::istringstream lines(run.out);
  std::vector<std::string> images;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line != "Enter a number.") {
      images.push_back(line);
    }
  }
  ASSERT_EQ(images.size(), 3U) << run.out;
  EXPECT_EQ(images[0] != images[1], call.fresh_image) << run.out;
  EXPECT_EQ(images[1] != images[2], call.fresh_image) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Calls, CallsThatLeave,
    testing::Values(
        Call{"NothingOfItsOwn", "    pass", false},
        Call{"StandardModulesThatSurviveARestart",
             "    import asyncio, datetime, json, re, socket, sqlite3, ssl\n"
             "    loop = asyncio.new_event_loop()\n"
             "    loop.run_until_complete(asyncio.sleep(0))\n"
             "    loop.close()",
             false, "3.12.1"},
        Call{"ThreadsItJoined",
             "    for _ in range(8):\n"
             "        thread = threading.Thread(target=time.sleep, args=(0.001,))\n"
             "        thread.start()\n"
             "        thread.join()",
             false},
        Call{"ADescriptorItClosed", "    os.close(os.open('/dev/null', os.O_RDONLY))", false},
        Call{"AnInheritableDescriptor",
             "    os.set_inheritable(os.open('/dev/null', os.O_RDONLY), True)", false},
        Call{"AThread", "    threading.Thread(target=time.sleep, args=(60,), daemon=True).start()",
             true},
        Call{"AThirdPartysExtensionModule", "    import keeps_static", true},
        Call{"ALibraryOfCsOwn",
             "    import ctypes\n    ctypes.CDLL('" SCRIPT_MENU_CALLING_BACK_LIBRARY "')", false,
             "3.12.1"},
        Call{"ADescriptorItOpened", "    os.open('/dev/null', os.O_RDONLY)", true},
        Call{"MemoryPastTheBound",
             "    import ctypes\n"
             "    libc = ctypes.CDLL(None)\n"
             "    libc.malloc.restype = ctypes.c_void_p\n"
             "    ctypes.memset(libc.malloc(80 << 20), 1, 80 << 20)",
             true}),
    [](const testing::TestParamInfo<Call>& info) { return info.param.name; });

TEST(FreshImage, MemoryStaysWithinItsBound) {
  // Each call keeps 16 MiB that no shut-down gives back: 320 MiB over 20 calls in one image.
  const auto run = Talk(R"py(
import ctypes

def printsomething():
    with open("/proc/self/statm") as statm:
        print(int(statm.read().split()[1]) * 4096 >> 20)
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    ctypes.memset(libc.malloc(16 << 20), 1, 16 << 20)
)py",
                        "0\n0\n0\n0\n0\n0\n0\n0\n0\n0\n0\n0\n0\n0\n0\n0\n0\n0\n0\n3\n");
  std::istringstream lines(run.out);
  std::vector<long> resident_mib;
  for (std::string line; std::getline(lines, line);) {
    if (line != "Invalid input, try again.") {
      resident_mib.push_back(std::stol(line));
    }
  }
  ASSERT_EQ(resident_mib.size(), 20U) << run.out;
  // Within the bound (64 MiB) and the call that crossed it, over the first call's.
  EXPECT_LT(*std::max_element(resident_mib.begin(), resident_mib.end()),
            resident_mib.front() + 64L + 2L * 16 + 16)
      << run.out;
  EXPECT_EQ(run.err, "");
}

TEST(FreshImage, ChildrenThatHaveEndedAreReaped) {
  // PrintMe starts a child that it never waits for, and returns once the child has ended;
  // DoubleValue's child ends after its call, as the menu waits for input: none is left a zombie,
  // and no later call can wait for one.
  const support::TempDir folder;
  support::WriteModule(folder.path, R"py(
import os, time

def zombies():
    count = 0
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            count += fields[0] == "Z" and int(fields[1]) == os.getpid()
        except (OSError, IndexError, ValueError):
            pass
    try:
        ended = os.waitpid(-1, os.WNOHANG)[0]
    except ChildProcessError:
        ended = 0
    print("zombies", count, "waited for", ended)

def printsomething():
    zombies()

def PrintMe(value):
    zombies()
    child = os.fork()
    if child == 0:
        os._exit(0)
    for _ in range(10000):
        with open("/proc/%d/stat" % child) as stat:
            if stat.read().rsplit(")", 1)[1].split()[0] == "Z":
                break
        time.sleep(0.001)
    return value

def DoubleValue(value):
    zombies()
    if os.fork() == 0:
        time.sleep(0.1)
        os._exit(0)
    return value
)py");
  support::Launch launch;
  launch.env = {"PYTHONPATH=" + folder.path.string()};
  support::Child child = support::Start(launch);
  const std::string none = "zombies 0 waited for 0\n";
  const std::string cycle = "Enter a number.\n" + none + "\n" + none;
  ASSERT_TRUE(support::Send(child, "1 1\n2 2\n"));
  ASSERT_TRUE(support::WaitForOutput(child, none + cycle + cycle));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // DoubleValue's child ends
  ASSERT_TRUE(support::Send(child, "1 3\n3\n"));
  const auto run = support::Finish(child);
  EXPECT_EQ(run.out, none + cycle + cycle + cycle);
  EXPECT_TRUE(support::EndedCleanly(run));
}

TEST(FreshImage, DescriptorsACallLeavesFollowOneRule) {
  // A descriptor left open close-on-exec (Python's default) is closed once its call has ended,
  // as at a python3 process's exit, whether or not the call left a thread; an inheritable one
  // stays, for the calls after.
  for (const char* thread : {"",
                             "threading.Thread(target=time.sleep, args=(60,), daemon=True)"
                             ".start()"}) {
    const auto run = Talk(std::string(R"py(
import os, threading, time

def state(name):
    try:
        os.fstat(int(os.environ[name]))
        return "open"
    except OSError:
        return "closed"

def printsomething():
    print(state("OWN"), state("INHERITABLE"))

def PrintMe(value):
    os.environ["OWN"] = str(os.open("/dev/null", os.O_RDONLY))
    inheritable = os.open("/dev/null", os.O_RDONLY)
    os.set_inheritable(inheritable, True)
    os.environ["INHERITABLE"] = str(inheritable)
    )py") + thread + "\n    return value\n",
                          "1 1\n3\n", [] {
                            Launch launch;
                            launch.env = {"OWN=1000", "INHERITABLE=1000"};
                            return launch;
                          }());
    EXPECT_EQ(run.out, "closed closed\nEnter a number.\n\nclosed open\n") << thread;
    EXPECT_EQ(run.err, "") << thread;
  }
}

// The dynamic loader that started this test program, as the program names it.
std::string DynamicLoader() {
  std::string loader;
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t /*size*/, void* found) {
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          if (info->dlpi_phdr[i].p_type == PT_INTERP) {
            const ElfW(Addr) name = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
            // NOLINTNEXTLINE(performance-no-int-to-ptr): where the loaded program holds the name
            *static_cast<std::string*>(found) = reinterpret_cast<const char*>(name);
          }
        }
        return 1;  // the program itself comes first
      },
      &loader);
  return loader;
}

TEST(FreshImage, StartsTheRunningProgramsFileOrSaysOnceWhyNot) {
  // A copy of the program, which a call replaces with another file (as a package upgrade does),
  // or makes unrunnable; each call leaves a thread. Where the call also loaded a module that
  // cannot start twice in one process, the program cannot go on either. Started through the
  // dynamic loader, it is the program's file that starts, not the loader's.
  struct Case {
    const char* what;
    const char* print_me;
    const char* err;
    const char* out;
    int exit_code = 0;
    bool through_loader = false;
  };
  for (const Case& c :
       {Case{"replaced", "os.rename(os.environ['OTHER'], os.environ['PROGRAM'])", "",
             "menu \nEnter a number.\n\nmenu \nEnter a number.\n\nmenu \n"},
        Case{"through the dynamic loader", "pass", "",
             "menu \nEnter a number.\n\nmenu \nEnter a number.\n\nmenu \n", 0, true},
        Case{"unrunnable", "os.chmod(os.environ['PROGRAM'], 0o644)",
             "script-menu: cannot start the program afresh: Permission denied; it goes on in this "
             "process, with what the calls before left in it\n",
             "menu \nEnter a number.\n\nmenu with a thread of a call before\nEnter a number.\n\n"
             "menu with a thread of a call before\n"},
        Case{"unrunnable after a module that cannot restart",
             "os.chmod(os.environ['PROGRAM'], 0o644); import once",
             "script-menu: cannot start the program afresh: Permission denied; what the last call "
             "loaded cannot be started again in this process, so the program ends\n",
             "menu \nEnter a number.\n", 1}}) {
    const TempDir folder;
    const fs::path program = folder.path / "script-menu";
    fs::copy_file(support::ProgramPath(), program);
    std::ofstream(folder.path / "other") << "#!/bin/sh\necho other program\n";
    fs::permissions(folder.path / "other", fs::perms::owner_all);
    Launch launch;
    launch.program = program.string();
    if (c.through_loader) {
      launch.program = DynamicLoader();
      launch.arguments = {program.string()};
    }
    launch.env = {"PROGRAM=" + program.string(), "OTHER=" + (folder.path / "other").string()};
    const auto run = Talk(kWithTheSuitesExtensions + R"py(
import os, threading, time

def printsomething():
    print("menu", "with a thread of a call before" * (threading.active_count() > 1 or
                                                      len(os.listdir("/proc/self/task")) > 1))

def PrintMe(value):
    if value == 1:
        )py" + c.print_me + R"py(
    threading.Thread(target=time.sleep, args=(60,), daemon=True).start()
    return value
)py",
                          "1 1\n1 2\n3\n", launch);
    EXPECT_EQ(run.out, c.out) << c.what;
    EXPECT_EQ(run.err, c.err) << c.what;
    EXPECT_EQ(run.exit_code, c.exit_code) << c.what;
  }
}

// A memory file as the program hands it to a fresh image: its fields, each as <length>:<bytes>.
std::string HandedOver(const std::vector<std::string>& fields) {
  std::string file;
  for (const std::string& field : fields) {
    file += std::to_string(field.size());
    file += ':';
    file += field;
  }
  return file;
}

TEST(FreshImage, TakesOverOnlyWhatItsOwnFormerImageHandedOver) {
  // The format, the process name, the environment, what was said once (nothing), and the menu's
  // three fields: at the choice, with "1 5" and "3" unread; or at the empty line, with the input at
  // its end.
  const TempDir folder;
  support::WriteModule(folder.path, R"py(
import os

def printsomething():
    print("menu")

def PrintMe(value):
    with open("/proc/self/comm") as name:
        print(value, os.environ.get("SHOWN"), "SCRIPT_MENU_HANDED_OVER" in os.environ,
              name.read().strip())
    return value
)py");
  const std::string module_path = "PYTHONPATH=" + folder.path.string();
  const auto file = [&](const std::string& count, const std::string& step, const std::string& input,
                        const std::string& unread = "1 5\n3\n") {
    return HandedOver({"script-menu handed over, 1", "resumed", count, module_path,
                       "SHOWN=by the image before", "0", "3", step, input, unread});
  };
  const std::string own = "SCRIPT_MENU_HANDED_OVER=@PID@:@FD@";
  const std::string unread_input = file("2", "C", "-1");
  const std::string started = "menu\nEnter a number.\n6 None False script-menu\n\nmenu\n";
  const std::string unreadable =
      "script-menu: cannot read what the program's former image handed over\n";
  struct Case {
    const char* name;
    std::string variable;
    std::string contents;
    bool unsealed;
    std::string out;
    std::string err;
    int exit_code;
  };
  for (const Case& c :
       {Case{"resumed at the choice", own, unread_input, false,
             "Enter a number.\n5 by the image before False resumed\n\nmenu\n", "", 0},
        Case{"resumed at the empty line, the input ended", own, file("2", "L", "0", ""), false,
             "\nmenu\n", "", 0},
        Case{"named for another process", "SCRIPT_MENU_HANDED_OVER=1:@FD@", unread_input, false,
             started, "", 0},
        Case{"not sealed", own, unread_input, true, "", unreadable, 1},
        Case{"closed since", "SCRIPT_MENU_HANDED_OVER=@PID@:999", unread_input, false, "",
             unreadable, 1},
        Case{"of another format", own, "script-menu handed over", false, "", unreadable, 1},
        Case{"an entry short", own, file("3", "C", "-1"), false, "", unreadable, 1},
        Case{"no menu's step", own, file("2", "X", "-1"), false, "", unreadable, 1},
        Case{"no input's state", own, file("2", "C", "-1x"), false, "", unreadable, 1}}) {
    Launch launch;
    launch.env = {module_path};
    launch.handed_over_variable = c.variable;
    launch.handed_over = c.contents;
    launch.handed_over_unsealed = c.unsealed;
    const auto run = support::RunProgram(launch, "1 6\n3\n");
    EXPECT_EQ(run.out, c.out) << c.name;
    EXPECT_EQ(run.err, c.err) << c.name;
    EXPECT_EQ(run.exit_code, c.exit_code) << c.name;
  }
}

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
