// What a call leaves that no interpreter can be started beside in one process: an extension module
// that does not survive a restart, a descriptor it opened, memory past the bound, a thread (whose
// patterns are threads_test.cpp's). The call after starts in a fresh image of the program, in the
// same process: every module runs at every call as under a python3 process per call, nothing
// grows, and what the user sees of the process is as if it were one image.
#include <gtest/gtest.h>
#include <link.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
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

// How many children of `parent` have ended and not been waited for.
int ZombiesOf(pid_t parent) {
  int zombies = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::ifstream stat_file(entry.path() / "stat");
    std::string line;
    std::getline(stat_file, line);
    char state = 0;
    int its_parent = 0;
    const std::size_t after_name = line.rfind(')');
    if (after_name != std::string::npos &&
        std::sscanf(line.c_str() + after_name + 1, " %c %d", &state, &its_parent) == 2) {
      zombies += state == 'Z' && its_parent == parent ? 1 : 0;
    }
  }
  return zombies;
}

TEST(FreshImage, ChildrenThatHaveEndedAreReaped) {
  // printsomething and PrintMe start a child that they never wait for, and return once it has
  // ended; DoubleValue's child ends after its call, as the menu waits for input: none is left a
  // zombie, not even while the menu waits after printsomething, and no later call can wait for one.
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

def leave_a_zombie():
    child = os.fork()
    if child == 0:
        os._exit(0)
    for _ in range(10000):
        with open("/proc/%d/stat" % child) as stat:
            if stat.read().rsplit(")", 1)[1].split()[0] == "Z":
                break
        time.sleep(0.001)

def printsomething():
    zombies()
    leave_a_zombie()
    print("menu")

def PrintMe(value):
    zombies()
    leave_a_zombie()
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
  const std::string menu = none + "menu\n";
  const std::string cycle = "Enter a number.\n" + none + "\n" + menu;
  ASSERT_TRUE(support::WaitForOutput(child, menu));
  // With no input yet, only the end of printsomething's call can reap its child.
  const auto deadline = std::chrono::steady_clock::now() + support::PatienceForCalls(1);
  while (ZombiesOf(child.pid) > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(ZombiesOf(child.pid), 0);
  ASSERT_TRUE(support::Send(child, "1 1\n2 2\n"));
  ASSERT_TRUE(support::WaitForOutput(child, menu + cycle + cycle));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // DoubleValue's child ends
  ASSERT_TRUE(support::Send(child, "1 3\n3\n"));
  const auto run = support::Finish(child);
  EXPECT_EQ(run.out, menu + cycle + cycle + cycle);
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
    const char* err_then = nullptr;  // if set, `err` is only how standard error begins, and this
                                     // is in what follows
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
        // Nor can the next interpreter start then, which ends the program, saying so after
        // the interpreter's own reason.
        Case{"no descriptor left for its libraries",
             "import resource; resource.setrlimit(resource.RLIMIT_NOFILE, (4, 4))",
             "script-menu: cannot start the program afresh: Too many open files; it goes on in "
             "this process, with what the calls before left in it\n",
             "menu \nEnter a number.\n\n", 1, false,
             "script-menu: cannot start the Python interpreter"},
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
    if (c.err_then != nullptr) {
      EXPECT_EQ(run.err.substr(0, std::strlen(c.err)), c.err) << c.what;
      EXPECT_NE(run.err.find(c.err_then, std::strlen(c.err)), std::string::npos) << run.err;
    } else {
      EXPECT_EQ(run.err, c.err) << c.what;
    }
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

// A module whose PrintMe leaves a daemon thread behind, and writes the process id of each call in
// the file $PIDS; DoubleValue runs the statement in $DOUBLE.
constexpr char kLeavesAThread[] = R"py(
import os, queue, signal, sys, threading, time

with open(os.environ["PIDS"], "a") as pids:
    print(os.getpid(), file=pids)

def printsomething():
    print("menu")

def PrintMe(value):
    threading.Thread(target=queue.Queue().get, daemon=True).start()
    print(value, flush=True)
    return value

def DoubleValue(value):
    exec(os.environ.get("DOUBLE", "pass"))
    print(value * 2)
    return value * 2
)py";

// Whether a process has ended (a zombie counts: it runs no more).
bool Ended(pid_t process) {
  std::ifstream stat("/proc/" + std::to_string(process) + "/stat");
  std::string pid;
  std::string name;
  std::string state;
  return !(stat >> pid >> name >> state) || state == "Z";
}

// One process, the program's, made every call, and it has ended.
void ExpectOneProcessThatEnded(const std::filesystem::path& pids, pid_t program) {
  std::ifstream listed(pids);
  std::vector<pid_t> processes;
  for (pid_t process = 0; listed >> process;) {
    processes.push_back(process);
  }
  EXPECT_GE(processes.size(), 2U);
  for (const pid_t process : processes) {
    EXPECT_EQ(process, program);
  }
  EXPECT_TRUE(Ended(program));
}

TEST(FreshImage, TheProgramEndsAsTheDialogueEnds) {
  struct Case {
    const char* name;
    const char* double_value;  // run by DoubleValue
    const char* out;
    int exit_code;
    int signal;
  };
  for (const Case& c :
       {Case{"choice 3", "pass", "menu\nEnter a number.\n5\n\nmenu\nEnter a number.\n8\n\nmenu\n",
             0, 0},
        Case{"SystemExit(4)", "sys.exit(4)", "menu\nEnter a number.\n5\n\nmenu\nEnter a number.\n",
             4, 0},
        Case{"a signal", "sys.stdout.flush(); os.kill(os.getpid(), signal.SIGTERM)",
             "menu\nEnter a number.\n5\n\nmenu\nEnter a number.\n", -1, SIGTERM}}) {
    const support::TempDir folder;
    support::WriteModule(folder.path, kLeavesAThread);
    support::Launch launch;
    launch.env = {"PYTHONPATH=" + folder.path.string(), "PIDS=" + (folder.path / "pids").string(),
                  std::string("DOUBLE=") + c.double_value};
    support::Child child = support::Start(launch);
    const pid_t program = child.pid;
    support::Send(child, "1 5\n2 4\n3\n");
    const auto run = support::Finish(child);
    EXPECT_EQ(run.out, c.out) << c.name;
    EXPECT_EQ(run.err, "") << c.name;
    EXPECT_EQ(run.exit_code, c.exit_code) << c.name;
    EXPECT_EQ(run.signal, c.signal) << c.name;
    ExpectOneProcessThatEnded(folder.path / "pids", program);
  }
}

TEST(FreshImage, SignalsSentToTheProgramReachItOnce) {
  // After two fresh images: Ctrl-C on the terminal interrupts a call, once, and the dialogue goes
  // on; at the prompt it ends the program. SIGTERM and SIGHUP end the program.
  for (const int sent : {SIGINT, SIGTERM, SIGHUP}) {
    const support::TempDir folder;
    support::WriteModule(folder.path, kLeavesAThread);
    support::Launch launch;
    launch.env = {"PYTHONPATH=" + folder.path.string(), "PIDS=" + (folder.path / "pids").string(),
                  "DOUBLE=print('waiting', flush=True); time.sleep(60)"};
    launch.terminal = sent == SIGINT;
    support::Child child = support::Start(launch);
    const pid_t program = child.pid;
    ASSERT_TRUE(support::Send(child, "1 5\n1 6\n2 7\n"));
    ASSERT_TRUE(support::WaitForOutput(child, "waiting\n"));
    const std::string interrupted = "waiting\n\nmenu\n";
    if (sent == SIGINT) {
      ASSERT_TRUE(support::Send(child, "\x03"));  // Ctrl-C, to the terminal's process group
      ASSERT_TRUE(support::WaitForOutput(child, interrupted)) << child.err;
      // At the prompt. One that comes as the menu's interpreter shuts down is the interpreter's,
      // and is pressed again, as a user would.
      for (int i = 0; i < 5 && child.output >= 0; ++i) {
        ASSERT_TRUE(support::Send(child, "\x03"));
        support::WaitForOutput(child, "more output", 0, std::chrono::milliseconds(1000));
      }
    } else {
      kill(program, sent);
    }
    const auto run = support::Finish(child);
    const std::string dialogue =
        "menu\nEnter a number.\n5\n\nmenu\nEnter a number.\n6\n\nmenu\nEnter a number.\n";
    if (sent == SIGINT) {
      EXPECT_EQ(run.out, dialogue + interrupted);
      // A press that came as an interpreter shut down is reported by it as ignored, and lost
      // (a slow machine makes that likelier); the call's own report comes once.
      std::string reports = run.err;
      for (std::size_t at = 0; (at = reports.find("Exception ignored", at)) != std::string::npos;) {
        const std::size_t lost = reports.find("KeyboardInterrupt", at);
        reports.erase(at, lost == std::string::npos ? lost : lost - at + 17);
      }
      const auto report = reports.find("KeyboardInterrupt");
      EXPECT_NE(report, std::string::npos) << run.err;
      EXPECT_EQ(reports.find("KeyboardInterrupt", report + 1), std::string::npos) << run.err;
      EXPECT_EQ(run.err.find("script-menu:"), std::string::npos) << run.err;
    } else {
      EXPECT_EQ(run.out, dialogue + "waiting\n");
      EXPECT_EQ(run.err, "");
    }
    EXPECT_EQ(run.signal, sent);
    ExpectOneProcessThatEnded(folder.path / "pids", program);
  }
}

TEST(FreshImage, ChangesNothingTheUserCanSee) {
  // All the input at once; the working folder, the environment, a descriptor, signal dispositions
  // and a timer as the call before left them; one process, the test's child, throughout; the fault
  // action the first call had (no guard of the program's left in place), and no descriptor of
  // the program's own left over; its command line, which the first call overwrote as a process
  // title does; a start variable it removed stays removed; what a C library left in a stream it
  // never closed is written; the environment begins where the kernel laid it out, as a library
  // that sets a process title expects, and shows nothing of the hand-over; every line once, with a
  // thread left or not.
  const support::TempDir folder;
  std::filesystem::create_directory(folder.path / "elsewhere");
  const auto run = Talk(R"py(
import os, queue, signal, threading

def printsomething():
    print("menu")

def PrintMe(value):
    if value == 1:
        os.chdir("elsewhere")
        os.environ["LEFT"] = "by the first call"
        os.environ["FIRST"] = str(os.getpid())
        os.environ["FAULTS"] = repr(signal.getsignal(signal.SIGSEGV))
        del os.environ["GONE"]
        os.dup2(os.open("kept", os.O_WRONLY | os.O_CREAT), 9)
        signal.signal(signal.SIGUSR1, signal.SIG_IGN)
        signal.setitimer(signal.ITIMER_REAL, 3600)
        with open("/proc/self/cmdline", "rb") as command, open("/proc/self/stat") as stat:
            os.environ["COMMAND"] = command.read().hex()
            import ctypes
            ctypes.memmove(int(stat.read().rsplit(")", 1)[1].split()[45]), b"title\0", 6)
        libc = ctypes.CDLL(None)
        libc.fopen.restype = ctypes.c_void_p
        libc.fputs.argtypes = [ctypes.c_char_p, ctypes.c_void_p]
        libc.fputs(b"by C\n", libc.fopen(b"unclosed", b"w"))
    else:
        with open("/proc/self/environ", "rb") as environment:
            handed_over_shown = b"SCRIPT_MENU" in environment.read()
        with open("/proc/self/cmdline", "rb") as command, open("/proc/self/stat") as stat:
            same_command = command.read().hex() == os.environ["COMMAND"]
            environment_at = [int(at) for at in stat.read().rsplit(")", 1)[1].split()[47:49]]
        import ctypes
        first = ctypes.POINTER(ctypes.c_void_p).in_dll(ctypes.CDLL(None), "environ")[0]
        descriptors = len(os.listdir("/proc/self/fd"))
        print(os.path.basename(os.getcwd()), os.environ["LEFT"], os.fstat(9).st_size,
              signal.getsignal(signal.SIGUSR1) == signal.SIG_IGN,
              signal.getitimer(signal.ITIMER_REAL)[0] > 3000,
              descriptors - int(os.environ.setdefault("DESCRIPTORS", str(descriptors))),
              same_command, "GONE" in os.environ, os.path.getsize("unclosed"),
              environment_at[0] <= first < environment_at[1], handed_over_shown)
    print(os.getpid() == int(os.environ["FIRST"]), os.getppid() == int(os.environ["TEST"]),
          repr(signal.getsignal(signal.SIGSEGV)) == os.environ["FAULTS"])
    if value != 3:
        threading.Thread(target=queue.Queue().get, daemon=True).start()
    print(value)
    return value
)py",
                        "1 1 1 2\n1 3 1 4\n3\n", [&] {
                          support::Launch launch;
                          launch.directory = folder.path;
                          launch.env = {"TEST=" + std::to_string(getpid()), "GONE=yes"};
                          return launch;
                        }());
  const std::string kept =
      "elsewhere by the first call 0 True True 0 True False 5 True False\nTrue True True\n";
  EXPECT_EQ(run.out,
            "menu\nEnter a number.\nTrue True True\n1\n\n"
            "menu\nEnter a number.\n" +
                kept +
                "2\n\n"
                "menu\nEnter a number.\n" +
                kept +
                "3\n\n"
                "menu\nEnter a number.\n" +
                kept + "4\n\nmenu\n");
  EXPECT_TRUE(support::EndedCleanly(run));
}

TEST(FreshImage, GoesOnAfterTheEndOfInputOnATerminal) {
  // Ctrl-D ends a terminal's input once: the next read waits for more. Seen before a call that
  // leaves a thread, the end holds in the fresh image that follows, and the program ends.
  const support::TempDir folder;
  support::WriteModule(folder.path, kLeavesAThread);
  support::Launch launch;
  launch.env = {"PYTHONPATH=" + folder.path.string(), "PIDS=" + (folder.path / "pids").string()};
  launch.terminal = true;
  support::Child child = support::Start(launch);
  ASSERT_TRUE(support::WaitForOutput(child, "menu\n"));
  ASSERT_TRUE(support::Send(child, "1 5\x04\x04"));  // the number ends where the input does
  const auto run = support::Finish(child);
  EXPECT_EQ(run.out, "menu\nEnter a number.\n5\n\nmenu\n");
  EXPECT_TRUE(support::EndedCleanly(run));
}

TEST(FreshImage, ScriptThatClosesEveryDescriptorKeepsTheDialogueGoing) {
  // os.closerange takes the program's copies of the standard streams too.
  const auto run = Talk(R"py(
import os, queue, threading

if len(os.listdir("/proc/self/task")) > 1:
    print("a thread of an earlier call is still running")

def printsomething():
    print("menu")

def PrintMe(value):
    os.closerange(3, 4096)
    threading.Thread(target=queue.Queue().get, daemon=True).start()
    return value
)py",
                        "1 5\n1 6\n3\n");
  EXPECT_EQ(run.out, "menu\nEnter a number.\n\nmenu\nEnter a number.\n\nmenu\n");
  EXPECT_TRUE(support::EndedCleanly(run));
}

TEST(FreshImage, WithoutProcEveryCallStartsOne) {
  // /proc is hidden in a namespace of the test's own, as in a container that does not mount it:
  // the program cannot see the threads, so every call is followed by a fresh image, in the same
  // process. The kernel's random bytes for each image (AT_RANDOM) tell the images apart.
  if (const std::string why = support::WhyProcCannotBeHidden(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  const support::TempDir folder;
  support::WriteModule(folder.path, R"py(
import ctypes, os, threading, time

libc = ctypes.CDLL(None)
libc.getauxval.restype = ctypes.c_void_p
image = ctypes.string_at(libc.getauxval(25), 16).hex()
last = os.environ.get("LAST_CALL", "%d -" % os.getpid()).split()
os.environ["LAST_CALL"] = "%d %s" % (os.getpid(), image)
if last != [str(os.getpid()), "-"] and (last[0] != str(os.getpid()) or last[1] == image):
    print("not a fresh image of the same process")

def printsomething():
    print("menu")

def PrintMe(value):
    def poll():
        while True:
            time.sleep(0.001)
    threading.Thread(target=poll, daemon=True).start()
    print(value)
    return value
)py");
  support::Launch launch;
  launch.program = "/usr/bin/unshare";
  launch.arguments = {"--user",  "--map-root-user",
                      "--mount", "/bin/sh",
                      "-c",      "mount -t tmpfs none /proc && exec " + support::ProgramPath()};
  launch.env = {"PYTHONPATH=" + folder.path.string()};
  const support::Cycles cycles = support::PrintMeCycles(4);
  const auto run = support::RunProgram(launch, cycles.input);
  EXPECT_EQ(run.out, cycles.output);
  EXPECT_TRUE(support::EndedCleanly(run));
}

}  // namespace
