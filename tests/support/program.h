// Drives the real script-menu program the way a user does: standard input in; standard output,
// standard error and the exit status out. Every wait is bounded, so a hang fails a test instead
// of stalling the suite.
#ifndef SCRIPT_MENU_TESTS_SUPPORT_PROGRAM_H_
#define SCRIPT_MENU_TESTS_SUPPORT_PROGRAM_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace support {

using std::chrono::milliseconds;

// How long a test waits for the program before it takes it for hung: about four times what the
// longest dialogue here takes under the sanitizers or on the debug interpreter, on a loaded
// machine, and within the time limit of each test (tests/CMakeLists.txt).
constexpr milliseconds kPatience{10000};

// The same for a dialogue of `calls` calls each followed by a fresh image (every call starts an
// interpreter, and the image its own too): a fixed part for the program's start and end, and a
// part for each call, as slow as under the sanitizers on a loaded machine.
constexpr milliseconds PatienceForCalls(int calls) { return kPatience + calls * milliseconds(800); }

// A folder of its own for one test, removed with everything in it afterwards.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::filesystem::path path;
};

// Writes <folder>/PythonCode.py.
void WriteModule(const std::filesystem::path& folder, const std::string& source);

// The path of the script-menu program under test.
std::string ProgramPath();

// Why a test cannot hide /proc from the program in a namespace of its own, as a container that
// does not mount it does; empty when it can.
std::string WhyProcCannotBeHidden();

// The folder of the suite's probe module (tests/probe/PythonCode.py): it shows each call it gets
// ("menu", "PrintMe(5)") and reports the release of its module, functions and results.
std::string ProbeFolder();

// What the probe reports at each shut-down, of its module and its three functions: the module's
// release only where the interpreter frees a module as its last reference goes, which a
// free-threaded build defers to a late collection of its garbage.
extern const char kProbeReleases[];

// The probe's output with each run of those reports in kProbeReleases's order: the interpreter
// frees the four in an order of its own, which differs between builds.
std::string InReleaseOrder(const std::string& out);

struct Launch {
  std::string program = ProgramPath();
  std::vector<std::string> arguments;  // after the program's own name
  // NAME=value entries. The child gets these and a small fixed base (PATH, LANG=C.UTF-8 and any
  // sanitizer options), nothing else of the test's own environment. An entry replaces a base entry
  // of the same name; "NAME" alone removes it.
  std::vector<std::string> env;
  std::filesystem::path directory;    // working folder; the test's own when empty
  bool terminal = false;              // standard input and output on a pseudo-terminal
  bool close_stdout = false;          // start with standard output closed
  bool close_stderr = false;          // start with standard error closed
  bool stdin_write_only = false;      // standard input open, but not for reading
  bool close_stdin = false;           // start with standard input closed
  std::filesystem::path output_file;  // standard output into this file, not a pipe
  long long file_size_limit = -1;     // when set, writing a file beyond this many bytes fails
  int open_files_limit = -1;          // when set, the most descriptors the program may have
  // As a fresh image of the program is started: a memory file with these contents (sealed unless
  // asked otherwise), named by this variable, in which @PID@ and @FD@ stand for the program's
  // process id and the file's descriptor. No file when the variable is empty.
  std::string handed_over_variable;
  std::string handed_over;
  bool handed_over_unsealed = false;
  milliseconds patience = kPatience;  // how long the whole dialogue may take
};

struct Outcome {
  std::string out;
  std::string err;
  int exit_code = -1;  // -1 unless the program exited
  int signal = 0;      // the signal that ended it, if one did
  bool timed_out = false;
};

// A running program. One that goes out of scope unfinished, as when an assertion fails, is killed
// and waited for, so that no test leaves a process behind.
struct Child {
  Child() = default;
  Child(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  Child& operator=(Child&&) = delete;
  ~Child();

  pid_t pid = -1;   // -1 once it has been waited for
  int input = -1;   // its standard input (the terminal's master side when on a terminal)
  int output = -1;  // its standard output (a second handle on that side when on a terminal)
  int errors = -1;  // its standard error
  bool terminal = false;
  std::string out;  // all read from standard output so far
  std::string err;  // all read from standard error so far
};

Child Start(const Launch& launch);

// Writes text to the program's standard input. False if it cannot take it all.
bool Send(Child& child, const std::string& text);

// Reads standard output until `out` holds `text` at or after `from`. False on end or time-out.
bool WaitForOutput(Child& child, const std::string& text, std::size_t from = 0,
                   milliseconds patience = kPatience);

// Stops reading standard output, as a reader that goes away does.
void CloseOutput(Child& child);

// Ends the input, reads everything that is left and waits for the exit; kills it after patience.
Outcome Finish(Child& child, milliseconds patience = kPatience);

// Starts the program, feeds it all of input, and finishes it.
Outcome RunProgram(const Launch& launch, const std::string& input);

// A module that tells every call it gets, so that a transcript shows exactly what was called with
// what: "menu", "PrintMe(5)", "DoubleValue(-7)".
extern const char kEchoModule[];

// Whether a run ended as a clean dialogue does: nothing on standard error, and status 0.
testing::AssertionResult EndedCleanly(const Outcome& run);

// A transcript of `cycles` choices of 1 with numbers 1, 2, ..., then 3, for a module whose
// printsomething prints "menu" and whose PrintMe prints its number.
struct Cycles {
  std::string input;
  std::string output = "menu\n";
};

Cycles PrintMeCycles(int cycles);

// Runs the program on input with a module of the given source first on PYTHONPATH.
Outcome Talk(const std::string& module_source, const std::string& input, Launch launch = {});

}  // namespace support

#endif  // SCRIPT_MENU_TESTS_SUPPORT_PROGRAM_H_
