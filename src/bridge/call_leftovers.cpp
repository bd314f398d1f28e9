#include "bridge/call_leftovers.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "bridge/run_facts.h"
#include "bridge/script_threads.h"

// Set by the build: the folder of the release's own extension modules (lib-dynload).
#ifndef SCRIPT_MENU_STANDARD_EXTENSIONS
#error "SCRIPT_MENU_STANDARD_EXTENSIONS must name the release's folder of extension modules"
#endif

namespace {

using Clock = std::chrono::steady_clock;

// The growth of resident memory, over what the image had at its first call, past which the next
// call starts in a fresh image. Releases keep from 160 KiB (3.8, 3.9, 3.13) to 1.2 MiB (3.12.1)
// at every restart, and some modules more: this bounds what a long run holds to a few dozen
// times a call's own, and costs a fresh image (a few milliseconds) once in hundreds of calls.
constexpr long kMemoryBoundKiB = 64L * 1024;

// How long threads that have ended in Python get to be gone from the kernel's list: a thread
// that a script joined (3.6 to 3.12 join a thread as its Python part ends) exits a few
// microseconds later on an idle machine.
constexpr std::chrono::milliseconds kEndingThreadsBound{20};

// The kernel's flag of a task that has begun to exit (PF_EXITING in /proc/<pid>/stat's flags).
constexpr unsigned long kExitingFlag = 0x4;

// The faults of a thread that runs on into the interpreter as it shuts down and after (a C
// library's thread that calls back into Python does), and the abort of one that CPython finds
// starting too late in the shut-down. While guarded, such a thread waits rather than end the
// process; what ends it is the fresh image.
constexpr int kFaults[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// How long a faulting thread waits at most: a fresh image follows within milliseconds; what takes
// this long is a hang, which the thread's fault, made again, ends.
constexpr time_t kParkedSeconds = 10;

// The whole of a small file of the kernel's, or "" where it cannot be read (a task's file, once
// the task has ended, fails with ESRCH).
std::string SystemFile(const char* path) {
  std::string contents;
  const int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) {
    return contents;
  }
  char block[512];
  for (;;) {
    const ssize_t got = read(file, block, sizeof block);
    if (got > 0) {
      contents.append(block, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  close(file);
  return contents;
}

long image_start_kib = -1;        // resident memory at the image's first call
bool fresh_image_needed = false;  // by what the last call left
bool restart_unsound = false;     // another interpreter here would be, after the last call

pid_t menu_thread = 0;                           // the thread the guard leaves alone
struct sigaction unguarded[std::size(kFaults)];  // the faults' actions before the guard

// A fault of the menu's own thread is the program's: it ends the process as it would have. Any
// other thread waits here, and ends with the image; should that not come, it faults again, and
// the process ends as it would have.
extern "C" void ParkFaultingThread(int signal) {
  if (gettid() != menu_thread) {
    const timespec bound = {kParkedSeconds, 0};
    nanosleep(&bound, nullptr);
  }
  std::signal(signal, SIG_DFL);  // the fault recurs as the handler returns
}

// Whether the guard is in place. The interpreter's fault handler, started and stopped with it,
// may have put other actions in its place since.
bool Guarded() {
  struct sigaction now = {};
  sigaction(kFaults[0], nullptr, &now);
  return now.sa_handler == ParkFaultingThread;
}

// Reaps every child that has ended, as init reaps those of a python3 process that has exited:
// none that a script started and never waited for stays a zombie, and none that ended before a
// call began is what that call's os.wait() gets. Children still running are left alone.
void ReapEndedChildren() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

OpenDescriptors DescriptorsOpenNow() {
  OpenDescriptors open;
  DIR* listing = opendir("/proc/self/fd");
  if (listing == nullptr) {
    return open;  // the threads cannot be seen either: the call is followed by a fresh image
  }
  while (const dirent* entry = readdir(listing)) {
    const int descriptor = std::atoi(entry->d_name);  // 0 for . and ..
    struct stat file = {};
    if (descriptor > STDERR_FILENO && descriptor != dirfd(listing) &&
        fstat(descriptor, &file) == 0) {
      open.emplace(descriptor, file.st_dev, file.st_ino);
    }
  }
  closedir(listing);
  return open;
}

// Whether the call left open a descriptor that it opened close-on-exec, as Python opens every
// one of its own. A python3 process closes such a one as it exits, and so does a fresh image;
// an inheritable one (os.dup2, os.set_inheritable) stays in either.
bool CloseOnExecDescriptorLeft(const OpenDescriptors& open_at_call_start) {
  const OpenDescriptors open = DescriptorsOpenNow();
  return std::any_of(open.begin(), open.end(), [&](const OpenDescriptors::value_type& descriptor) {
    return open_at_call_start.count(descriptor) == 0 &&
           (fcntl(std::get<0>(descriptor), F_GETFD) & FD_CLOEXEC) != 0;
  });
}

bool ListedAsCannotRestart(std::string_view module) {
  const std::vector<std::string>& listed = StandardModulesThatCannotRestart();
  return std::find(listed.begin(), listed.end(), module) != listed.end();
}

// The file's device and inode, or nothing where it cannot be looked at.
std::optional<std::pair<dev_t, ino_t>> FileIdentity(const std::string& path) {
  struct stat file = {};
  if (stat(path.c_str(), &file) != 0) {
    return std::nullopt;
  }
  return std::make_pair(file.st_dev, file.st_ino);
}

// Whether a shared object the process has loaded is an extension module, one that defines the
// function the import system starts it by (PyInit_<name>): a library of C's that a script or the
// environment loaded (ctypes, LD_PRELOAD) is none.
bool ExtensionModule(const std::string& file, const std::string& name) {
  void* loaded = dlopen(file.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (loaded == nullptr) {
    return false;
  }
  const bool initialised = dlsym(loaded, ("PyInit_" + name).c_str()) != nullptr;
  dlclose(loaded);
  return initialised;
}

// Whether a shared object the process has loaded is an extension module that may not survive a
// restart: one from outside the release's own folder of them (a third party's, which is never
// known to), or a listed one of the release's. The folder is compared as a file, whatever path
// reaches it (a prefix reached through a symbolic link).
bool LoadedFileCannotRestart(const std::string& file) {
  constexpr std::string_view kSuffix = ".so";  // every extension module's, whatever its tag
  if (file.size() < kSuffix.size() ||
      file.compare(file.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
    return false;  // a versioned library (libssl.so.3), looked at no further
  }
  const std::size_t slash = file.rfind('/');
  const std::string name = file.substr(slash + 1, file.find('.', slash + 1) - slash - 1);
  if (slash == std::string::npos || !ExtensionModule(file, name)) {
    return false;
  }
  static const auto standard_folder = FileIdentity(SCRIPT_MENU_STANDARD_EXTENSIONS);
  const auto folder = FileIdentity(file.substr(0, slash));
  return !standard_folder || folder != standard_folder || ListedAsCannotRestart(name);
}

// CPython never unloads an extension module: what a call loaded is listed until the image ends.
bool ExtensionModuleLoadedThatCannotRestart() {
  std::vector<std::string> loaded;
  dl_iterate_phdr(
      [](dl_phdr_info* object, std::size_t /*size*/, void* names) {
        if (object->dlpi_name != nullptr && *object->dlpi_name != '\0') {
          static_cast<std::vector<std::string>*>(names)->emplace_back(object->dlpi_name);
        }
        return 0;
      },
      &loaded);
  // Looked at once the loader's list is let go: dlopen takes the lock that the walk holds.
  return std::any_of(loaded.begin(), loaded.end(), LoadedFileCannotRestart);
}

long ResidentKiB() {
  long resident = -1;
  return std::sscanf(SystemFile("/proc/self/statm").c_str(), "%*d %ld", &resident) == 1
             ? resident * (sysconf(_SC_PAGESIZE) / 1024)
             : -1;
}

bool GrownPastBound() {
  const long now = ResidentKiB();
  return now >= 0 && image_start_kib >= 0 && now - image_start_kib > kMemoryBoundKiB;
}

// The threads besides the calling one, as the kernel lists them: how many are ending (exiting,
// or running, as a thread does between the end of its Python part and its exit), and how many are
// anything else (asleep, waiting); nothing where /proc cannot tell. A thread that ends between the
// listing and the read of its state is not counted.
std::optional<std::pair<int, int>> EndingAndOtherThreads() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) {
    return std::nullopt;
  }
  int ending = 0;
  int others = 0;
  const std::string self = std::to_string(gettid());
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.' || self == entry->d_name) {
      continue;
    }
    const auto task = TaskStateAndFlags(
        SystemFile((std::string("/proc/self/task/") + entry->d_name + "/stat").c_str()));
    if (task) {
      ++((task->second & kExitingFlag) != 0 || task->first == 'R' ? ending : others);
    }
  }
  closedir(tasks);
  return std::make_pair(ending, others);
}

// Whether the call changed PYTHONPATH where the release's later starts in one process would not see
// it: releases before 3.11 keep the first start's module search path.
bool ModulePathChanged(const std::optional<std::string>& module_path_at_call_start) {
#if PY_VERSION_HEX < 0x030B0000
  return Variable("PYTHONPATH") != module_path_at_call_start;
#else
  (void)module_path_at_call_start;
  return false;
#endif
}

// Whether a thread besides the calling one will run on. A thread that Python still counted as
// running at the last exit function does; one that has ended there but is still listed is waited
// for within a bound, while it is ending; any other (a C library's, asleep) runs on. Where /proc
// cannot tell, any may.
bool ThreadsRemain() {
  if (ThreadsOfThisProcess() == 1) {
    return false;
  }
  if (PythonThreadsRunningAtExit() > 0) {
    return true;
  }
  const auto deadline = Clock::now() + kEndingThreadsBound;
  for (;;) {
    const auto threads = EndingAndOtherThreads();
    if (!threads || threads->second > 0) {
      return true;
    }
    if (threads->first == 0) {
      return false;
    }
    if (Clock::now() >= deadline) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

}  // namespace

const std::vector<std::string>& StandardModulesThatCannotRestart() {
  // Found by the test that imports each of the release's extension modules (and the module of the
  // same name without its underscore) in one interpreter after another: what fails there, or
  // writes a warning, is listed for the releases it does so on.
  static const std::vector<std::string> modules = {
#if PY_VERSION_HEX < 0x030C0000
    "_decimal",      // libmpdec warns at every start after the first
    "_tracemalloc",  // "the tracemalloc module has been unloaded"
#endif
#if PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030C0000
    // Debian's 3.11.2 aborts in the second shut-down ("none_dealloc"); pyenv's 3.9.18, 3.10.13
    // and 3.11.7 do not, but the releases between are untried.
    "_zoneinfo",
#endif
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030C0200
    // 3.12.1 ("double free or corruption", "munmap_chunk(): invalid pointer"); 3.12.0 untried.
    "_asyncio",
    "_ctypes",
    "_datetime",
    "_decimal",
    "_hashlib",
    "_sqlite3",
    "_ssl",
    "_statistics",
    "_testsinglephase",
    "_zoneinfo",
#endif
  };
  return modules;
}

std::optional<std::pair<char, unsigned long>> TaskStateAndFlags(std::string_view stat_line) {
  // The name, second, is in brackets and may hold spaces and brackets itself: the fields after
  // it start after the last ')'. Then come the state, four numbers and the flags.
  const std::size_t after_name = stat_line.rfind(')');
  if (after_name == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string fields(stat_line.substr(after_name + 1));
  char state = 0;
  unsigned long flags = 0;
  if (std::sscanf(fields.c_str(), " %c %*d %*d %*d %*d %*d %lu", &state, &flags) != 2) {
    return std::nullopt;
  }
  return std::make_pair(state, flags);
}

int ThreadsOfThisProcess() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) {
    return -1;
  }
  int threads = 0;
  while (const dirent* entry = readdir(tasks)) {
    threads += entry->d_name[0] != '.' ? 1 : 0;
  }
  closedir(tasks);
  return threads;
}

void RemoveFaultGuard() {
  if (Guarded()) {
    for (std::size_t i = 0; i < std::size(kFaults); ++i) {
      sigaction(kFaults[i], &unguarded[i], nullptr);
    }
  }
}

void GuardAgainstFaultsOfOtherThreads() {
  if (Guarded()) {
    return;  // the actions it keeps are the unguarded ones already
  }
  menu_thread = gettid();
  struct sigaction park = {};
  park.sa_handler = ParkFaultingThread;
  sigemptyset(&park.sa_mask);
  for (std::size_t i = 0; i < std::size(kFaults); ++i) {
    sigaction(kFaults[i], &park, &unguarded[i]);
  }
}

OpenDescriptors NoteProcessBeforeCall() {
  ReapEndedChildren();
  RemoveFaultGuard();  // the process went on past the threads it was for
  OpenDescriptors open = DescriptorsOpenNow();
  if (image_start_kib < 0) {
    image_start_kib = ResidentKiB();
  }
  return open;
}

bool StandardModuleThatCannotRestartImported(bool traces_memory) {
  // Built-in ones too (_tracemalloc), which no shared object shows.
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  bool imported = traces_memory && ListedAsCannotRestart("_tracemalloc");
  for (const std::string& listed : StandardModulesThatCannotRestart()) {
    imported = imported || PyDict_GetItemString(modules, listed.c_str()) != nullptr;
  }
  return imported;
}

void NoteProcessAfterCall(bool standard_module_that_cannot_restart_imported,
                          const OpenDescriptors& open_at_call_start,
                          const std::optional<std::string>& module_path_at_call_start) {
  ReapEndedChildren();
  // The cheaper checks first: threads that are ending are given time only where nothing else
  // already asks for a fresh image.
  restart_unsound = standard_module_that_cannot_restart_imported ||
                    ExtensionModuleLoadedThatCannotRestart() || GrownPastBound();
  fresh_image_needed = restart_unsound || CloseOnExecDescriptorLeft(open_at_call_start) ||
                       ModulePathChanged(module_path_at_call_start) || ThreadsRemain();
  if (ThreadsOfThisProcess() == 1) {
    RemoveFaultGuard();  // no thread is left to fault
  }
}

bool FreshImageNeeded() { return fresh_image_needed; }

bool RestartUnsound() { return restart_unsound; }
