// What one bridge call costs, measured beside its floor (a bare interpreter start and shut-down,
// which this design pays on every call) and beside what a user would do instead (start a python3
// process that makes the same import and call); and how resident memory grows over many calls.
// A benchmark: it reports, it asserts nothing.
#define PY_SSIZE_T_CLEAN
#include <Python.h>  // for PY_VERSION
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "bridge/interpreter.h"
#include "bridge/script_bridge.h"
#include "bridge/script_threads.h"

extern char** environ;

namespace {

// Resident memory settles over the first few hundred calls; growth is measured after that.
constexpr int kWarmUpCalls = 300;
constexpr int kMemoryCalls = 1000;

const char* const kTimedNames[] = {"bare start and shut-down", "RunScriptProcedure",
                                   "CallScriptIntFunction", "python3 process"};
// What every call spends on the threads a script may leave running, when it leaves none.
constexpr char kThreadBookkeeping[] = "thread bookkeeping, no thread";

// A memory case: a bridge operation, or for the baseline a bare start and shut-down, on a module.
struct MemoryCase {
  const char* name;
  const char* module;  // a folder under bench/modules
};
// The baseline first: what the interpreter alone keeps over a start and shut-down.
const MemoryCase kMemoryCases[] = {{"bare start and shut-down", "plain"},
                                   {"RunScriptProcedure, plain", "plain"},
                                   {"CallScriptIntFunction, plain", "plain"},
                                   {"CallScriptIntFunction, json_re_datetime", "json_re_datetime"}};

void UseModule(const std::string& module) {
  const std::string folder = std::string(SCRIPT_MENU_BENCH_MODULES) + "/" + module;
  setenv("PYTHONPATH", folder.c_str(), 1);
}

// Started as the bridge starts it, and stopped again at once.
void BareRestart() {
  StartInterpreter();
  StopInterpreter();
}

void BareStart(benchmark::State& state) {
  for (auto _ : state) {
    BareRestart();
  }
}

void RunProcedure(benchmark::State& state) {
  UseModule("plain");
  for (auto _ : state) {
    RunScriptProcedure("printsomething");
  }
}

void CallIntFunction(benchmark::State& state) {
  UseModule("plain");
  for (auto _ : state) {
    benchmark::DoNotOptimize(CallScriptIntFunction("DoubleValue", 21));
  }
}

// The bookkeeping that StartInterpreter and StopInterpreter do for threads, within one running
// interpreter. The exit function registered here runs once per call as well: a second note.
void ThreadBookkeeping(benchmark::State& state) {
  StartInterpreter();
  for (auto _ : state) {
    NoteScriptThreadsAtExit();
    NoteScriptThreads();
    NoteScriptThreads();
    AwaitScriptThreads();
  }
  StopInterpreter();
}

void Python3Process(benchmark::State& state) {
  UseModule("plain");
  char python[] = SCRIPT_MENU_PYTHON;
  char flag[] = "-c";
  char code[] = "import PythonCode; PythonCode.DoubleValue(21)";
  char* argv[] = {python, flag, code, nullptr};
  for (auto _ : state) {
    pid_t pid = 0;
    int status = 0;
    if (posix_spawn(&pid, python, nullptr, nullptr, argv, environ) != 0 ||
        waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the python3 process failed");
      break;
    }
  }
}

std::string MemoryBenchmarkName(const std::string& what) {
  return "memory growth, " + what;
}

long ResidentKiB() {
  long size = 0;
  long resident = 0;
  std::ifstream("/proc/self/statm") >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void RunMemoryCase(const MemoryCase& what) {
  const std::string name = what.name;
  if (name.rfind("RunScriptProcedure", 0) == 0) {
    RunScriptProcedure("printsomething");
  } else if (name.rfind("CallScriptIntFunction", 0) == 0) {
    CallScriptIntFunction("DoubleValue", 21);
  } else {
    BareRestart();
  }
}

constexpr char kMeasureFlag[] = "--measure-memory";

// Run as `script_menu_bench --measure-memory <case number>`: resident memory after the warm-up
// and after the measured calls, written on standard output.
int MeasureMemory(const MemoryCase& what) {
  UseModule(what.module);
  for (int i = 0; i < kWarmUpCalls; ++i) {
    RunMemoryCase(what);
  }
  const long before = ResidentKiB();
  for (int i = 0; i < kMemoryCalls; ++i) {
    RunMemoryCase(what);
  }
  std::printf("%ld %ld\n", before, ResidentKiB());
  return 0;
}

// Growth per call, measured in a fresh copy of this program, so that nothing this process has
// allocated blurs it, and so that a module that does not survive a restart is reported instead of
// ending the whole benchmark.
void MemoryGrowth(benchmark::State& state, std::size_t which) {
  std::string program = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string flag = kMeasureFlag;
  std::string argument = std::to_string(which);
  char* argv[] = {program.data(), flag.data(), argument.data(), nullptr};
  for (auto _ : state) {
    int channel[2];
    if (pipe(channel) != 0) {
      state.SkipWithError("no pipe");
      break;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, channel[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const bool spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(channel[1]);
    long before = 0;
    long after = 0;
    FILE* report = fdopen(channel[0], "r");
    const bool got = std::fscanf(report, "%ld %ld", &before, &after) == 2;
    std::fclose(report);
    int status = 0;
    if (!spawned || waitpid(pid, &status, 0) != pid) {
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
    state.counters["KiB_per_call"] = static_cast<double>(after - before) / kMemoryCalls;
    state.counters["RSS_KiB"] = static_cast<double>(after);
  }
}

// Google Benchmark's own report, then the calls side by side, with their ratios.
class SideBySideReporter : public benchmark::ConsoleReporter {
 public:
  SideBySideReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const std::string& name = run.run_name.function_name;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "mean") {
        continue;  // with repetitions, the mean stands for the call
      }
      if (run.error_occurred) {
        errors_[name] = run.error_message;
      } else {
        milliseconds_[name] = run.GetAdjustedRealTime();  // every timed run is in milliseconds
        const auto growth = run.counters.find("KiB_per_call");
        if (growth != run.counters.end()) {
          growth_[name] = growth->second.value;
        }
      }
    }
  }

  void PrintSideBySide() const {
    std::printf("\nPython %s (%s), real time per call:\n", PY_VERSION, SCRIPT_MENU_PYTHON);
    const double floor = Find(milliseconds_, kTimedNames[0]);
    const double process = Find(milliseconds_, kTimedNames[3]);
    const double bookkeeping = Find(milliseconds_, kThreadBookkeeping);
    for (const char* name : kTimedNames) {
      const double ms = Find(milliseconds_, name);
      if (ms <= 0) {
        std::printf("  %-28s %s\n", name, Error(name).c_str());
        continue;
      }
      std::printf("  %-28s %8.2f ms", name, ms);
      if (floor > 0) {
        std::printf("   %5.2f x bare start", ms / floor);
      }
      if (process > 0) {
        std::printf("   %5.2f x python3 process", ms / process);
      }
      std::printf("\n");
    }
    if (bookkeeping > 0 && floor > 0) {
      std::printf("  %-28s %8.4f ms   %5.2f %% of a bare start\n", kThreadBookkeeping,
                  bookkeeping, 100 * bookkeeping / floor);
    }
    std::printf("Resident memory growth per call, over %d calls after %d to warm up:\n",
                kMemoryCalls, kWarmUpCalls);
    for (const MemoryCase& what : kMemoryCases) {
      const std::string name = MemoryBenchmarkName(what.name);
      if (growth_.count(name) != 0) {
        std::printf("  %-40s %8.2f KiB\n", what.name, growth_.at(name));
      } else {
        std::printf("  %-40s %s\n", what.name, Error(name).c_str());
      }
    }
  }

 private:
  static double Find(const std::map<std::string, double>& values, const std::string& name) {
    const auto found = values.find(name);
    return found == values.end() ? 0.0 : found->second;
  }
  std::string Error(const std::string& name) const {
    const auto found = errors_.find(name);
    return found == errors_.end() ? "not run" : found->second;
  }

  std::map<std::string, double> milliseconds_;
  std::map<std::string, double> growth_;
  std::map<std::string, std::string> errors_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], kMeasureFlag) == 0) {
    return MeasureMemory(kMemoryCases[std::stoul(argv[2])]);
  }
  // Real time throughout: the python3 process spends its time outside this one.
  benchmark::RegisterBenchmark(kTimedNames[0], BareStart)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark(kTimedNames[1], RunProcedure)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark(kTimedNames[2], CallIntFunction)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark(kTimedNames[3], Python3Process)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark(kThreadBookkeeping, ThreadBookkeeping)->Unit(benchmark::kMillisecond)->UseRealTime();
  for (std::size_t which = 0; which < std::size(kMemoryCases); ++which) {
    const std::string name = MemoryBenchmarkName(kMemoryCases[which].name);
    benchmark::RegisterBenchmark(name.c_str(), MemoryGrowth, which)
        ->Iterations(1)
        ->Unit(benchmark::kSecond);
  }

  benchmark::Initialize(&argc, argv);
  SideBySideReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintSideBySide();
  benchmark::Shutdown();
  return 0;
}
