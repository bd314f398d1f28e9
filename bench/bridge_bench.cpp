// What one bridge call costs, measured beside its floor (a bare interpreter start and shut-down,
// which this design pays on every call) and beside what a user would do instead (start a python3
// process that makes the same import and call); what a cycle of the program's dialogue costs when
// its call is followed by a fresh image of the program (it leaves a thread behind, or imports
// numpy), and when it is not; what the program's start costs; and how memory grows over many
// calls. It
// asserts nothing itself: `make bench` writes Google Benchmark's JSON, and bench/summary.py prints
// the cases side by side from it and fails when the program's memory grows more than a reference
// call's.
#define PY_SSIZE_T_CLEAN
#include <Python.h>  // for PY_VERSION
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "bridge/interpreter.h"
#include "bridge/script_bridge.h"

namespace {

// Memory settles over the first hundred or so calls; growth is measured after that. --quick, for
// CI, makes fewer calls, still enough for the bound that bench/summary.py checks (bench/README.md
// says how these were chosen).
int warm_up_calls = 300;
int memory_calls = 1000;
constexpr int kQuickWarmUpCalls = 100;
constexpr int kQuickMemoryCalls = 300;
constexpr char kQuickFlag[] = "--quick";

// What a memory case does at every call.
enum class Operation { kReferenceCall, kBareRestart, kProcedure, kIntFunction };

// A memory case: a bridge operation, a bare start and shut-down, or the reference, on a module.
struct MemoryCase {
  const char* name;
  Operation operation;
  const char* module;  // a folder under bench/modules
};
// The reference first: what the release itself keeps over a call's work.
const MemoryCase kMemoryCases[] = {
    {"reference call, plain", Operation::kReferenceCall, "plain"},
    {"bare start and shut-down", Operation::kBareRestart, "plain"},
    {"RunScriptProcedure, plain", Operation::kProcedure, "plain"},
    {"CallScriptIntFunction, plain", Operation::kIntFunction, "plain"},
    {"CallScriptIntFunction, json_re_datetime", Operation::kIntFunction, "json_re_datetime"}};

void UseModule(const std::string& module) {
  const std::string folder = std::string(SCRIPT_MENU_BENCH_MODULES) + "/" + module;
  setenv("PYTHONPATH", folder.c_str(), 1);
}

// Started as the bridge starts it, and stopped again at once.
void BareRestart() {
  RunInFreshInterpreter([] { return false; });
}

void BareStart(benchmark::State& state) {
  for ([[maybe_unused]] auto _ : state) {
    BareRestart();
  }
}

void RunProcedure(benchmark::State& state) {
  UseModule("plain");
  for ([[maybe_unused]] auto _ : state) {
    RunScriptProcedure("printsomething");
  }
}

void CallIntFunction(benchmark::State& state) {
  UseModule("plain");
  for ([[maybe_unused]] auto _ : state) {
    benchmark::DoNotOptimize(CallScriptIntFunction("DoubleValue", 21));
  }
}

// The python3 that the python3 process cases and the reference call start as: that of an activated
// virtual environment, as the program's own calls then start (it is assumed to be one of this
// release's), so that both sides find the same site-packages.
const std::string& Python3() {
  static const std::string python = [] {
    const char* environment = std::getenv("VIRTUAL_ENV");
    return environment != nullptr && *environment != '\0'
               ? std::string(environment) + "/bin/python3"
               : std::string(SCRIPT_MENU_PYTHON);
  }();
  return python;
}

// Cycles of the program's own dialogue per run of it: its start and end are shared out among them.
constexpr int kDialogueCycles = 20;

// What a dialogue case runs: the module, whether its PrintMe leaves its thread behind, and how many
// cycles (none: the program's start, its first menu and its end).
struct Dialogue {
  const char* name;
  const char* module;
  bool leave_thread;
  int cycles = kDialogueCycles;
  const char* program = SCRIPT_MENU_PROGRAM;
};
const Dialogue kDialogues[] = {{"dialogue cycle, plain", "plain", false},
                               {"dialogue cycle, thread ended", "threads", false},
                               {"dialogue cycle, thread left", "threads", true},
                               {"program start, plain", "plain", false, 0}};
// Run where the release can import numpy (Debian's python3-numpy, for the default build); its
// import alone takes tens of milliseconds, so a run has fewer cycles.
const Dialogue kNumpyDialogue = {"dialogue cycle, numpy", "numpy", false, 5};

// Starts argv[0] with its standard stream `piped` on a pipe of its own and `silenced` on /dev/null;
// our end of the pipe in `our_end`. The process id, or -1 (with no pipe left open).
pid_t SpawnWithPipe(char* const argv[], int piped, int silenced, int& our_end) {
  int channel[2];
  our_end = -1;
  if (pipe(channel) != 0) {
    return -1;
  }
  const bool into_child = piped == STDIN_FILENO;
  const int theirs = into_child ? channel[0] : channel[1];
  const int ours = into_child ? channel[1] : channel[0];
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, theirs, piped);
  posix_spawn_file_actions_addclose(&actions, ours);
  posix_spawn_file_actions_addopen(&actions, silenced, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const bool spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  close(theirs);
  if (!spawned) {
    close(ours);
    return -1;
  }
  our_end = ours;
  return pid;
}

// One cycle of the whole program's dialogue, choice 1 and a number: a call of printsomething and
// one of PrintMe. Where PrintMe leaves a thread behind, or the module imports numpy, every call is
// followed by a fresh image of the program. With no cycles, the whole run: its start, its first
// menu and its end.
void DialogueCycle(benchmark::State& state, const Dialogue& dialogue) {
  UseModule(dialogue.module);
  setenv("SCRIPT_MENU_BENCH_LEAVE_THREAD", dialogue.leave_thread ? "1" : "0", 1);
  std::string input;
  for (int i = 0; i < dialogue.cycles; ++i) {
    input += "1 5\n";
  }
  input += "3\n";
  std::string program = dialogue.program;
  char* argv[] = {program.data(), nullptr};
  for ([[maybe_unused]] auto _ : state) {
    const auto started = std::chrono::steady_clock::now();
    int input_end = -1;
    const pid_t pid = SpawnWithPipe(argv, STDIN_FILENO, STDOUT_FILENO, input_end);
    const bool written = pid > 0 && write(input_end, input.data(), input.size()) ==
                                        static_cast<ssize_t>(input.size());
    if (input_end >= 0) {
      close(input_end);
    }
    int status = 0;
    if (!written || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      state.SkipWithError("the program failed");
      break;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    state.SetIterationTime(took.count() / std::max(dialogue.cycles, 1));
  }
}

// A python3 process per call, making a dialogue's PrintMe call (DoubleValue of the plain module),
// of which the thread module's leaves its thread behind for the process's exit to end.
void Python3Process(benchmark::State& state, const char* module) {
  UseModule(module);
  setenv("SCRIPT_MENU_BENCH_LEAVE_THREAD", "1", 1);
  std::string python = Python3();
  char flag[] = "-c";
  std::string code = std::strcmp(module, "plain") != 0
                         ? "import PythonCode; PythonCode.PrintMe(5)"
                         : "import PythonCode; PythonCode.DoubleValue(21)";
  char* argv[] = {python.data(), flag, code.data(), nullptr};
  for ([[maybe_unused]] auto _ : state) {
    pid_t pid = 0;
    int status = 0;
    if (posix_spawn(&pid, python.c_str(), nullptr, nullptr, argv, environ) != 0 ||
        waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the python3 process failed");
      break;
    }
  }
}

// What a process cost, from the kernel's account of it.
struct Cost {
  double cpu_seconds = 0;  // user and system
  double real_seconds = 0;
  double page_faults = 0;
};

double Seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// Waits for `pid`, started at `started`, and adds what it cost to `cost`; false if it failed.
bool AddCost(pid_t pid, std::chrono::steady_clock::time_point started, Cost& cost) {
  int status = 0;
  rusage usage = {};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return false;
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  cost.cpu_seconds += Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  cost.real_seconds += took.count();
  cost.page_faults += static_cast<double>(usage.ru_minflt + usage.ru_majflt);
  return true;
}

// Cycles of the dialogue, each a printsomething and a PrintMe call, that a run of the program makes
// against as many python3 processes per call.
constexpr int kVersusCycles = 10;

// What a user's call costs: the program making kVersusCycles cycles of `1 5` on a module, against a
// python3 process for each of the same calls (`import PythonCode; PythonCode.printsomething()`,
// then PrintMe(5)), both in each repetition, so that they meet the same moment of a shared
// machine. Each repetition reports the program's cost over the processes' in CPU time, real time
// and page faults (which load does not change).
void VersusPython3Processes(benchmark::State& state, const char* module) {
  UseModule(module);
  std::string input;
  for (int i = 0; i < kVersusCycles; ++i) {
    input += "1 5\n";
  }
  input += "3\n";
  std::string program = SCRIPT_MENU_PROGRAM;
  char* program_argv[] = {program.data(), nullptr};
  std::string python = Python3();
  char flag[] = "-c";
  std::string calls[] = {"import PythonCode; PythonCode.printsomething()",
                         "import PythonCode; PythonCode.PrintMe(5)"};
  for ([[maybe_unused]] auto _ : state) {
    Cost ours;
    int input_end = -1;
    auto started = std::chrono::steady_clock::now();
    const pid_t pid = SpawnWithPipe(program_argv, STDIN_FILENO, STDOUT_FILENO, input_end);
    const bool written = pid > 0 && write(input_end, input.data(), input.size()) ==
                                        static_cast<ssize_t>(input.size());
    if (input_end >= 0) {
      close(input_end);
    }
    bool ran = written && AddCost(pid, started, ours);
    Cost theirs;
    for (int i = 0; ran && i < 2 * kVersusCycles; ++i) {
      char* argv[] = {python.data(), flag, calls[i % 2].data(), nullptr};
      pid_t process = 0;
      started = std::chrono::steady_clock::now();
      ran = posix_spawn(&process, python.c_str(), nullptr, nullptr, argv, environ) == 0 &&
            AddCost(process, started, theirs);
    }
    if (!ran) {
      state.SkipWithError("the program or a python3 process failed");
      break;
    }
    state.counters["cpu_ratio"] = ours.cpu_seconds / theirs.cpu_seconds;
    state.counters["real_ratio"] = ours.real_seconds / theirs.real_seconds;
    state.counters["faults_ratio"] = ours.page_faults / theirs.page_faults;
    state.counters["ms_per_call"] = 1e3 * ours.real_seconds / (2 * kVersusCycles);
    state.SetIterationTime(ours.real_seconds + theirs.real_seconds);
  }
}

// Whether the release's python3 imports numpy.
bool NumpyImportable() {
  const std::string command = Python3() + " -c 'import numpy' 2> /dev/null";
  return std::system(command.c_str()) == 0;
}

long ResidentKiB() {
  long size = 0;
  long resident = 0;
  std::ifstream("/proc/self/statm") >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// A call's work done with CPython's plainest calls, apart from the program's code but started with
// the same settings: what the release itself keeps per call. The program's cases are bounded
// against it, so that whatever the program's own start, call or shut-down keeps shows.
void ReferenceCall() {
#if PY_VERSION_HEX >= 0x03080000
  PyConfig config;
  PyConfig_InitPythonConfig(&config);
  config.configure_c_stdio = 0;
  PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, Python3().c_str());
  if (!PyStatus_Exception(status)) {
    status = Py_InitializeFromConfig(&config);
  }
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) {
    Py_ExitStatusException(status);
  }
#else
  static wchar_t* const program_name = Py_DecodeLocale(Python3().c_str(), nullptr);
  Py_SetProgramName(program_name);
  Py_InitializeEx(1);
#endif
  PyObject* module = PyImport_ImportModule("PythonCode");
  PyObject* result =
      module != nullptr ? PyObject_CallMethod(module, "DoubleValue", "i", 21) : nullptr;
  if (result == nullptr) {
    PyErr_Print();
  }
  Py_XDECREF(result);
  Py_XDECREF(module);
  Py_FinalizeEx();
}

void RunMemoryCase(const MemoryCase& what) {
  switch (what.operation) {
    case Operation::kReferenceCall:
      ReferenceCall();
      break;
    case Operation::kBareRestart:
      BareRestart();
      break;
    case Operation::kProcedure:
      RunScriptProcedure("printsomething");
      break;
    case Operation::kIntFunction:
      CallScriptIntFunction("DoubleValue", 21);
      break;
  }
}

// Bytes the C heap has handed out and not had back. Resident memory cannot see a leak of a few
// dozen bytes per call until it has used up the holes that freed memory left in the heap, many
// hundreds of calls later; this counts every byte from the first.
long HeapBytes() {
  const struct mallinfo2 heap = mallinfo2();
  return static_cast<long>(heap.uordblks + heap.hblkhd);
}

constexpr char kMeasureFlag[] = "--measure-memory";

// Run as `script_menu_bench --measure-memory <case number> <warm-up calls> <calls>`: resident KiB
// and heap bytes after the warm-up, and the same after the measured calls, on standard output.
int MeasureMemory(const MemoryCase& what) {
  UseModule(what.module);
  for (int i = 0; i < warm_up_calls; ++i) {
    RunMemoryCase(what);
  }
  const long resident = ResidentKiB();
  const long heap = HeapBytes();
  for (int i = 0; i < memory_calls; ++i) {
    RunMemoryCase(what);
  }
  std::printf("%ld %ld %ld %ld\n", resident, heap, ResidentKiB(), HeapBytes());
  return 0;
}

// Growth per call, measured in a fresh copy of this program, so that nothing this process has
// allocated blurs it, and so that a module that does not survive a restart is reported instead of
// ending the whole benchmark.
void MemoryGrowth(benchmark::State& state, std::size_t which) {
  std::string program = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string flag = kMeasureFlag;
  std::string arguments[] = {std::to_string(which), std::to_string(warm_up_calls),
                             std::to_string(memory_calls)};
  char* argv[] = {program.data(),      flag.data(),         arguments[0].data(),
                  arguments[1].data(), arguments[2].data(), nullptr};
  for ([[maybe_unused]] auto _ : state) {
    int report_end = -1;
    const pid_t pid = SpawnWithPipe(argv, STDOUT_FILENO, STDERR_FILENO, report_end);
    long before = 0;
    long heap_before = 0;
    long after = 0;
    long heap_after = 0;
    bool got = false;
    if (pid > 0) {
      FILE* report = fdopen(report_end, "r");
      got = std::fscanf(report, "%ld %ld %ld %ld", &before, &heap_before, &after, &heap_after) == 4;
      std::fclose(report);
    }
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid) {
      state.SkipWithError("the measuring process did not start");
      break;
    }
    if (WIFSIGNALED(status)) {
      const std::string signal = strsignal(WTERMSIG(status));
      state.SkipWithError(("crashed on a restart: " + signal).c_str());
      break;
    }
    if (!got) {
      state.SkipWithError("the measuring process failed");
      break;
    }
    state.counters["KiB_per_call"] = static_cast<double>(after - before) / memory_calls;
    state.counters["heap_bytes_per_call"] =
        static_cast<double>(heap_after - heap_before) / memory_calls;
    state.counters["RSS_KiB"] = static_cast<double>(after);
  }
}

// The interpreter's own variables in this environment, which change what a start costs (PYTHONPATH
// aside, which each case sets).
std::string PythonEnvironment() {
  std::string found;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    if (variable.rfind("PYTHON", 0) == 0 && variable.rfind("PYTHONPATH=", 0) != 0) {
      found += (found.empty() ? "" : " ") + variable;
    }
  }
  return found.empty() ? "none" : found;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], kMeasureFlag) == 0) {
    warm_up_calls = std::stoi(argv[3]);
    memory_calls = std::stoi(argv[4]);
    return MeasureMemory(kMemoryCases[std::stoul(argv[2])]);
  }
  if (argc > 1 && std::strcmp(argv[1], kQuickFlag) == 0) {
    warm_up_calls = kQuickWarmUpCalls;
    memory_calls = kQuickMemoryCalls;
    argv[1] = argv[0];  // Google Benchmark never sees the flag
    --argc;
    ++argv;
  }

  // Real time throughout: the python3 process spends its time outside this one. The timed cases
  // are the ones compared: run them with repetitions and random interleaving, so that each is
  // measured across the same stretch of a shared machine's time.
  const auto timed = [](const char* name, void (*function)(benchmark::State&)) {
    benchmark::RegisterBenchmark(name, function)->Unit(benchmark::kMillisecond)->UseRealTime();
  };
  timed("bare start and shut-down", BareStart);
  timed("RunScriptProcedure", RunProcedure);
  timed("CallScriptIntFunction", CallIntFunction);
  const auto process = [](const char* name, const char* module) {
    benchmark::RegisterBenchmark(name, Python3Process, module)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  };
  const auto dialogue = [](const Dialogue& what) {
    benchmark::RegisterBenchmark(what.name, DialogueCycle, what)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime();
  };
  // Each of these is a whole run of the program beside twenty python3 processes.
  const auto versus = [](const char* name, const char* module) {
    benchmark::RegisterBenchmark(name, VersusPython3Processes, module)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime();
  };
  versus("versus python3, no imports", "plain");
  versus("versus python3, ordinary imports", "ordinary");
  versus("versus python3, every call leaves a thread", "leaves_threads");
  process("python3 process", "plain");
  process("python3 process, thread left", "threads");
  for (const Dialogue& case_run : kDialogues) {
    dialogue(case_run);
  }
  if (NumpyImportable()) {
    process("python3 process, numpy", "numpy");
    versus("versus python3, numpy", "numpy");
    dialogue(kNumpyDialogue);
  }
  // Another build of the program to compare with, such as one of an earlier commit.
  if (const char* baseline = std::getenv("SCRIPT_MENU_BENCH_BASELINE")) {
    static const Dialogue kBaselines[] = {
        {"dialogue cycle, plain, baseline", "plain", false, kDialogueCycles, baseline},
        {"program start, plain, baseline", "plain", false, 0, baseline}};
    for (const Dialogue& case_run : kBaselines) {
      dialogue(case_run);
    }
  }
  for (std::size_t which = 0; which < std::size(kMemoryCases); ++which) {
    const std::string name = std::string("memory growth, ") + kMemoryCases[which].name;
    benchmark::RegisterBenchmark(name.c_str(), MemoryGrowth, which)
        ->Iterations(1)
        ->Repetitions(1)
        ->Unit(benchmark::kSecond);
  }

  benchmark::AddCustomContext("python_version", PY_VERSION);
  benchmark::AddCustomContext("python_executable", Python3());
  benchmark::AddCustomContext("memory_warm_up_calls", std::to_string(warm_up_calls));
  benchmark::AddCustomContext("memory_calls", std::to_string(memory_calls));
  benchmark::AddCustomContext("python_environment", PythonEnvironment());
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
