#include "bridge/interpreter.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "bridge/call_leftovers.h"
#include "bridge/run_facts.h"
#include "bridge/script_threads.h"

// Set by the build: the python3 executable this program is built against.
#ifndef SCRIPT_MENU_PYTHON
#error "SCRIPT_MENU_PYTHON must name the python3 executable the program is built against"
#endif

namespace {

// Whether `environment` is a virtual environment of the python3 the program is built against: its
// python3 is that one (linked to it), or its pyvenv.cfg names that one as its interpreter.
bool VirtualEnvironmentOfOurs(const std::filesystem::path& environment) {
  std::error_code error;
  const std::filesystem::path ours = std::filesystem::canonical(SCRIPT_MENU_PYTHON, error);
  const std::filesystem::path its_python = environment / "bin" / "python3";
  if (error || !std::filesystem::exists(its_python, error)) {
    return false;
  }
  if (std::filesystem::canonical(its_python, error) == ours) {
    return true;
  }
  std::ifstream configuration(environment / "pyvenv.cfg");
  for (std::string line; std::getline(configuration, line);) {
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) {
      continue;
    }
    const auto trimmed = [](const std::string& text) {
      const std::size_t first = text.find_first_not_of(" \t");
      const std::size_t last = text.find_last_not_of(" \t\r");
      return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    };
    const std::string key = trimmed(line.substr(0, equals));
    const std::filesystem::path value = trimmed(line.substr(equals + 1));
    const std::filesystem::path named = key == "home" ? value / ours.filename() : value;
    if ((key == "home" || key == "executable") &&
        std::filesystem::canonical(named, error) == ours && !error) {
      return true;
    }
  }
  return false;
}

// The python3 that each interpreter starts as, which it locates its installation from: that of
// the virtual environment activated in the shell the program started in, when that is one of the
// python3 the program is built against, as the shell's own python3 would start; else that
// python3. (The interpreter then finds the environment's sys.prefix and site-packages by its
// pyvenv.cfg.) A virtual environment of another interpreter is not used, and that is said once.
const std::string& ProgramName() {
  static const std::string name = [] {
    const std::optional<std::string> environment = StartEnvironmentValue("VIRTUAL_ENV");
    if (!environment.has_value() || environment->empty()) {
      return std::string(SCRIPT_MENU_PYTHON);
    }
    if (VirtualEnvironmentOfOurs(*environment)) {
      return (std::filesystem::path(*environment) / "bin" / "python3").string();
    }
    SayOnce("the activated virtual environment " + *environment + " is not one of " +
            SCRIPT_MENU_PYTHON + ", which the program is built against: it is not used");
    return std::string(SCRIPT_MENU_PYTHON);
  }();
  return name;
}

// Flushes what the script wrote to the interpreter's own standard output, as the shut-down would,
// and tells whether it was lost: the standard output cannot take it. (The shut-down's own result
// would also count a sys.stdout the script put in its place, or standard error.) What could not be
// written stays buffered, and the shut-down reports it as the interpreter does. Only this flush is
// judged: an error left pending before it is not this check's, and is put back as it was.
bool ScriptOutputLost() {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* pending = PyErr_GetRaisedException();  // new, if any
#else
  PyObject* pending_type = nullptr;  // new, each of them, if any
  PyObject* pending_value = nullptr;
  PyObject* pending_traceback = nullptr;
  PyErr_Fetch(&pending_type, &pending_value, &pending_traceback);
#endif
  bool lost = false;
  PyObject* output = PySys_GetObject("__stdout__");  // borrowed; None when there is none
  if (output != nullptr && output != Py_None) {
    PyObject* flushed = PyObject_CallMethod(output, "flush", nullptr);  // new
    if (flushed == nullptr) {
      lost = PyErr_ExceptionMatches(PyExc_OSError) != 0;  // not so for a closed stream
      PyErr_Clear();
    }
    Py_XDECREF(flushed);
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(pending);  // takes it over
#else
  PyErr_Restore(pending_type, pending_value, pending_traceback);  // takes them over
#endif
  return lost;
}

#if PY_VERSION_HEX >= 0x03080000

// Without an interpreter there is nothing the program can do: give the interpreter's reason and
// end with a failure status, rather than the abort that Py_ExitStatusException would make of it.
[[noreturn]] void ExitOnFailedStart(const PyStatus& status) {
  if (PyStatus_IsExit(status)) {
    std::exit(status.exitcode);
  }
  std::fprintf(stderr, "script-menu: cannot start the Python interpreter: %s%s%s\n",
               status.func != nullptr ? status.func : "", status.func != nullptr ? ": " : "",
               status.err_msg != nullptr ? status.err_msg : "unknown error");
  std::exit(EXIT_FAILURE);
}

#if PY_VERSION_HEX >= 0x030E0000

// 3.14 works a virtual environment's sys.prefix out as it starts, and a later start in the same
// process takes the prefixes the one before left (_PyPathConfig_ReadGlobal) for its base ones too:
// it then looks for the standard library's extension modules in the environment, and finds none.
// Every later start in this image is given the base prefixes that its first start worked out.
std::wstring first_base_prefix;
std::wstring first_base_exec_prefix;

// A str attribute of sys, or empty if it is none.
std::wstring SysString(const char* name) {
  PyObject* value = PySys_GetObject(name);  // borrowed
  if (value == nullptr || PyUnicode_Check(value) == 0) {
    return {};
  }
  wchar_t* text = PyUnicode_AsWideCharString(value, nullptr);  // new, ours to PyMem_Free
  if (text == nullptr) {
    PyErr_Clear();
    return {};
  }
  std::wstring kept(text);
  PyMem_Free(text);
  return kept;
}

PyStatus GiveFirstBasePrefixes(PyConfig& config) {
  if (first_base_prefix.empty() || first_base_exec_prefix.empty()) {
    return PyStatus_Ok();
  }
  PyStatus status = PyConfig_SetString(&config, &config.base_prefix, first_base_prefix.c_str());
  if (!PyStatus_Exception(status)) {
    status = PyConfig_SetString(&config, &config.base_exec_prefix, first_base_exec_prefix.c_str());
  }
  return status;
}

// Right after the start, before any script can change them.
void NoteFirstBasePrefixes() {
  if (first_base_prefix.empty() || first_base_exec_prefix.empty()) {
    first_base_prefix = SysString("base_prefix");
    first_base_exec_prefix = SysString("base_exec_prefix");
  }
}

#else

PyStatus GiveFirstBasePrefixes(PyConfig& /*config*/) { return PyStatus_Ok(); }
void NoteFirstBasePrefixes() {}

#endif

// Started with the standard Python configuration, so that under the C locale script text is still
// written as UTF-8, not refused as non-ASCII; and with ProgramName() as the program name, so the
// standard library is located from it, never from whatever python3 comes first on PATH.
// The C standard streams are the menu's, not the script's: the interpreter leaves them as they are.
void InitializeInterpreter() {
  PyConfig config;
  PyConfig_InitPythonConfig(&config);
  config.configure_c_stdio = 0;
  PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, ProgramName().c_str());
  if (!PyStatus_Exception(status)) {
    status = GiveFirstBasePrefixes(config);
  }
  if (!PyStatus_Exception(status)) {
    status = Py_InitializeFromConfig(&config);
  }
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) {
    ExitOnFailedStart(status);
  }
  NoteFirstBasePrefixes();
}

#else

// 3.6 and 3.7 end the process themselves when they cannot start, once they have written their
// reason: by exit(1) for what they take for the user's error, by abort() for the rest. Either way
// the program says what failed, and an abort becomes the failure status of any other release.
volatile std::sig_atomic_t starting = 0;

void SayStartFailed() {
  constexpr char kMessage[] =
      "script-menu: cannot start the Python interpreter: see its error above\n";
  (void)!write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
}

extern "C" void ExitOnAbortedStart(int /*signal*/) {
  SayStartFailed();
  _exit(EXIT_FAILURE);
}

extern "C" void SayIfStartExited() {
  if (starting != 0) {
    SayStartFailed();
  }
}

// These releases have no PyConfig, and start as Py_Initialize always did: with the C stdio and
// inspect mode left alone. They are given what the standard configuration of later releases gives:
// ProgramName() as the program name, and UTF-8 for the standard streams under the C locale,
// where 3.6 would otherwise refuse non-ASCII text (3.7 turns to UTF-8 there by itself).
void InitializeInterpreter() {
  // Kept for as long as the process runs, as the interpreter keeps the pointer.
  static wchar_t* const program_name = Py_DecodeLocale(ProgramName().c_str(), nullptr);
  static const bool said_at_exit = std::atexit(SayIfStartExited) == 0;
  (void)said_at_exit;
  if (program_name != nullptr) {
    Py_SetProgramName(program_name);
  }
  const char* ctype = std::setlocale(LC_CTYPE, "");  // the interpreter sets it so anyway
  const bool c_locale =
      ctype == nullptr || std::strcmp(ctype, "C") == 0 || std::strcmp(ctype, "POSIX") == 0;
  if (c_locale && std::getenv("PYTHONIOENCODING") == nullptr) {
    (void)Py_SetStandardStreamEncoding("utf-8", nullptr);  // only fails out of memory
  }
  struct sigaction on_abort = {};
  struct sigaction previous = {};
  on_abort.sa_handler = ExitOnAbortedStart;
  sigaction(SIGABRT, &on_abort, &previous);
  starting = 1;
  Py_InitializeEx(1);
  starting = 0;
  struct sigaction now = {};
  sigaction(SIGABRT, nullptr, &now);
  if (now.sa_handler == ExitOnAbortedStart) {  // else the interpreter's faulthandler took it over
    sigaction(SIGABRT, &previous, nullptr);
  }
}

#endif

// Sets the variable to `value`, or removes it for none; left alone where it is so already.
void SetVariable(const char* name, const std::optional<std::string>& value) {
  const char* now = std::getenv(name);
  if (!value.has_value()) {
    if (now != nullptr) {
      unsetenv(name);
    }
  } else if (now == nullptr || *value != now) {
    setenv(name, value->c_str(), 1);
  }
}

// The first interpreter's memory outlives it, and a later one with another allocator would free it
// with the wrong one, and crash: every interpreter sees PYTHONMALLOC and PYTHONDEVMODE (the debug
// allocator) as the program started with them, whatever a script set for the processes it starts.
// Set back after each call too, for a fresh image to take over.
void SetAllocatorVariablesAsAtStart() {
  static const std::optional<std::string> allocator = Variable("PYTHONMALLOC");
  static const std::optional<std::string> dev_mode = Variable("PYTHONDEVMODE");
  SetVariable("PYTHONMALLOC", allocator);
  SetVariable("PYTHONDEVMODE", dev_mode);
}

// Ends this process by `signal`, as its default action does, and with no core of its own.
[[noreturn]] void EndBySignal(int signal) {
  const rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  std::signal(signal, SIG_DFL);
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, signal);
  pthread_sigmask(SIG_UNBLOCK, &ending, nullptr);
  raise(signal);
  _exit(128 + signal);  // a signal whose default is not to end a process
}

// A close-on-exec duplicate of `descriptor` at 100 or above, away from the numbers a script opens
// and closes by number (or the lowest free one above the standard streams where the process may
// not have that many); -1 if there is none.
int KeepAwayFromScripts(int descriptor) {
  constexpr int kFrom = 100;
  const int kept = fcntl(descriptor, F_DUPFD_CLOEXEC, kFrom);
  if (kept < 0 && errno == EINVAL) {
    return fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  }
  return kept;
}

// The standard streams as each call finds them at its start (the program's own, as every call gives
// them back), each kept under a number of its own; -1 between calls. Global for the handler that
// closes them in a process the script forks.
std::array<int, 3> kept_streams = {-1, -1, -1};

// Each kept stream's file and status flags, as the call found them.
using StreamsAtStart = std::array<std::pair<struct stat, int>, 3>;

void CloseKeptStreams() {
  for (int& kept : kept_streams) {
    if (kept >= 0) {
      close(kept);
      kept = -1;
    }
  }
}

// A process that a script forks (a daemon that points its streams at /dev/null, say) must not hold
// the user's streams open through our copies, or a reader of the program's output would wait for
// it.
extern "C" void ForgetKeptStreamsInForkedChild() { CloseKeptStreams(); }

StreamsAtStart KeepStandardStreams() {
  static const bool forgotten_in_children =
      pthread_atfork(nullptr, nullptr, ForgetKeptStreamsInForkedChild) == 0;
  (void)forgotten_in_children;
  CloseKeptStreams();  // none are left from a call before, but one must never leak
  StreamsAtStart at_start = {};
  for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    int& kept = kept_streams.at(stream);
    auto& [file, flags] = at_start.at(stream);
    kept = KeepAwayFromScripts(stream);
    flags = fcntl(stream, F_GETFL);
    if (kept >= 0 && (fstat(kept, &file) != 0 || flags == -1)) {
      close(kept);
      kept = -1;
    }
  }
  return at_start;
}

// Still our copy: the same file, open the same way. A script that closed it (os.closerange) may
// have put a file of its own at its number.
bool StillKept(int stream, const std::pair<struct stat, int>& at_start) {
  const int kept = kept_streams.at(stream);
  const auto& [file, flags] = at_start;
  struct stat now = {};
  return kept >= 0 && fstat(kept, &now) == 0 && now.st_dev == file.st_dev &&
         now.st_ino == file.st_ino && now.st_rdev == file.st_rdev &&
         (fcntl(kept, F_GETFL) & O_ACCMODE) == (flags & O_ACCMODE);
}

// A script may close a standard stream, put a file of its own at its number, or make it
// non-blocking (asyncio does): the menu would read choices nobody typed, write its messages into
// the script's file, or fail its next read. After each call the three are as the call found them,
// as in the next python3 process; one whose copy the script closed too is at least /dev/null.
void GiveStandardStreamsBack(const StreamsAtStart& at_start) {
  for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    const int flags = at_start.at(stream).second;
    if (StillKept(stream, at_start.at(stream))) {
      (void)dup2(kept_streams.at(stream), stream);
      if (fcntl(stream, F_GETFL) != flags) {
        (void)fcntl(stream, F_SETFL, flags);
      }
      close(kept_streams.at(stream));
    } else if (fcntl(stream, F_GETFD) == -1) {
      // As a stream started closed is given one: for writing only, so that reading still fails.
      const int nowhere = open("/dev/null", O_WRONLY);  // the lowest free number, often this one
      if (nowhere > stream) {
        (void)dup2(nowhere, stream);
        close(nowhere);
      }
    }
    kept_streams.at(stream) = -1;  // what is no longer ours is left as it is
  }
}

// Ctrl-C while the interpreter starts would be taken for a failed start, or by the script's first
// statements. It is held until the start is over, and then ends the program as Ctrl-C between two
// calls does, once the interpreter has shut down again.
void StartInterpreter() {
  sigset_t interrupt;
  sigset_t before;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  pthread_sigmask(SIG_BLOCK, &interrupt, &before);
  InitializeInterpreter();
  sigset_t pending;
  sigpending(&pending);
  struct sigaction on_interrupt = {};
  sigaction(SIGINT, nullptr, &on_interrupt);
  if (sigismember(&pending, SIGINT) != 0 && sigismember(&before, SIGINT) == 0 &&
      on_interrupt.sa_handler != SIG_IGN) {
    (void)Py_FinalizeEx();
    std::fprintf(stderr, "script-menu: interrupted while the Python interpreter started\n");
    EndBySignal(SIGINT);
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// PYTHONTRACEMALLOC starts tracemalloc with the interpreter, which no module then shows.
bool TracesMemoryFromStart() {
  const char* tracing = std::getenv("PYTHONTRACEMALLOC");
  return tracing != nullptr && *tracing != '\0' && std::strcmp(tracing, "0") != 0;
}

}  // namespace

void RunInFreshInterpreter(const std::function<bool()>& call) {
  const pid_t menu_process = getpid();
  // Inspect mode would turn a SystemExit into a printed traceback, to drop into a prompt that this
  // program never offers. The interpreter turns it on whenever PYTHONINSPECT is set, which a script
  // can do for the next call through os.environ; so it never sees the variable.
  if (std::getenv("PYTHONINSPECT") != nullptr) {
    unsetenv("PYTHONINSPECT");
  }
  SetAllocatorVariablesAsAtStart();
  // What the call's end compares with.
  const bool traces_memory = TracesMemoryFromStart();
  const std::optional<std::string> module_path = Variable("PYTHONPATH");
  const OpenDescriptors open_at_start = NoteProcessBeforeCall();
  const StreamsAtStart streams_at_start = KeepStandardStreams();
  StartInterpreter();
  LetThreadsCallIn();
  StopThreadsAtLastExitFunction();

  const bool failed = call();

  PutThreadStartStandInsInPlace();
  LetNewThreadsRun();
  NoteCutShortWaitAtFirstExitFunction();
  const bool output_lost = ScriptOutputLost();
  const bool cannot_restart = StandardModuleThatCannotRestartImported(traces_memory);
  GuardAgainstFaultsOfOtherThreads();
  (void)Py_FinalizeEx();  // a failure it reports is the script's own stream's, or known already
  GiveStandardStreamsBack(streams_at_start);
  SetAllocatorVariablesAsAtStart();
  NoteProcessAfterCall(cannot_restart, open_at_start, module_path);
  // The script's output is lost as surely as a line of the menu's would be: the same failure.
  if (output_lost) {
    std::fprintf(stderr, "script-menu: cannot write to standard output\n");
    std::exit(EXIT_FAILURE);
  }
  // Ctrl-C cut short the wait for a thread the script still runs: the user asked for the program
  // to end, and it ends as Ctrl-C at the prompt ends it.
  if (ShutDownWaitCutShort()) {
    EndBySignal(SIGINT);
  }
  if (getpid() != menu_process) {
    std::exit(failed ? EXIT_FAILURE : EXIT_SUCCESS);  // a forked child, whose call has ended
  }
}
