#include "support/program.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace support {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// In the child: closes the standard streams the launch wants closed.
void CloseStandardStreams(const Launch& launch) {
  for (const auto& [closed, stream] :
       {std::pair{launch.close_stdin, STDIN_FILENO}, std::pair{launch.close_stdout, STDOUT_FILENO},
        std::pair{launch.close_stderr, STDERR_FILENO}}) {
    if (closed) {
      close(stream);
    }
  }
}

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& entries) {
  std::vector<std::string> env = {"PATH=/usr/local/bin:/usr/bin:/bin", "LANG=C.UTF-8"};
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) {
      env.push_back(std::string(name) + "=" + value);
    }
  }
  for (const std::string& entry : entries) {
    const std::string name = entry.substr(0, entry.find('='));
    env.erase(
        std::remove_if(env.begin(), env.end(),
                       [&](const std::string& e) { return e.substr(0, e.find('=')) == name; }),
        env.end());
    if (entry.find('=') != std::string::npos) {
      env.push_back(entry);
    }
  }
  return env;
}

// In the child: the memory file a fresh image of the program is handed, and the variable that
// names it, with @PID@ and @FD@ in place.
std::string HandOver(const Launch& launch, std::string variable) {
  const int file = memfd_create("handed-over", MFD_ALLOW_SEALING);
  if (file < 0 || write(file, launch.handed_over.data(), launch.handed_over.size()) !=
                      static_cast<ssize_t>(launch.handed_over.size())) {
    _exit(125);
  }
  if (!launch.handed_over_unsealed) {
    fcntl(file, F_ADD_SEALS, F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE);
  }
  lseek(file, 0, SEEK_SET);
  for (const auto& [mark, value] :
       {std::pair<std::string, std::string>{"@PID@", std::to_string(getpid())},
        {"@FD@", std::to_string(file)}}) {
    const auto at = variable.find(mark);
    if (at != std::string::npos) {
      variable.replace(at, mark.size(), value);
    }
  }
  return variable;
}

void SetNonBlocking(int fd) {
  if (fd >= 0) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
}

void CloseFd(int& fd) {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

// Reads what is there now into `into`. False once the stream has ended (a terminal whose other
// side has closed reports EIO, which counts as the end too).
bool Drain(int& fd, std::string& into) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<std::size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      return true;
    } else {
      CloseFd(fd);
      return false;
    }
  }
}

// Waits for output on either stream for at most `wait`; false once both have ended.
bool Pump(Child& child, milliseconds wait) {
  pollfd fds[2] = {{child.output, POLLIN, 0}, {child.errors, POLLIN, 0}};
  if (child.output < 0 && child.errors < 0) {
    return false;
  }
  poll(fds, 2, static_cast<int>(wait.count()));
  if (child.output >= 0 && fds[0].revents != 0) {
    Drain(child.output, child.out);
  }
  if (child.errors >= 0 && fds[1].revents != 0) {
    Drain(child.errors, child.err);
  }
  return child.output >= 0 || child.errors >= 0;
}

}  // namespace

Child::Child(Child&& other) noexcept
    : pid(std::exchange(other.pid, -1)),
      input(std::exchange(other.input, -1)),
      output(std::exchange(other.output, -1)),
      errors(std::exchange(other.errors, -1)),
      terminal(other.terminal),
      out(std::move(other.out)),
      err(std::move(other.err)) {}

Child::~Child() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  CloseFd(input);
  CloseFd(output);
  CloseFd(errors);
}

TempDir::TempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "script-menu-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    Fail("mkdtemp");
  }
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

void WriteModule(const std::filesystem::path& folder, const std::string& source) {
  std::ofstream(folder / "PythonCode.py", std::ios::binary) << source;
}

std::string ProgramPath() { return SCRIPT_MENU_PROGRAM; }

std::string ProbeFolder() { return SCRIPT_MENU_PROBE_DIR; }

const char kProbeReleases[] =
#ifndef SCRIPT_MENU_FREE_THREADED
    "module released\n"
#endif
    "printsomething released\nPrintMe released\nDoubleValue released\n";

std::string InReleaseOrder(const std::string& out) {
  const std::vector<std::string> order = {"module", "printsomething", "PrintMe", "DoubleValue"};
  const auto rank = [&](const std::string& line) {
    const auto named = std::find(order.begin(), order.end(), line.substr(0, line.find(' ')));
    const bool report = line.find(" released") != std::string::npos && named != order.end();
    return report ? named - order.begin() : -1;
  };
  std::vector<std::string> lines;
  std::istringstream text(out);
  for (std::string line; std::getline(text, line);) {
    lines.push_back(line + "\n");
  }
  // A run of reports is one shut-down's until a name comes again.
  for (auto run = lines.begin(); run != lines.end();) {
    auto end = run;
    std::vector<bool> seen(order.size(), false);
    while (end != lines.end() && rank(*end) >= 0 && !seen.at(rank(*end))) {
      seen.at(rank(*end)) = true;
      ++end;
    }
    std::sort(run, end,
              [&](const std::string& a, const std::string& b) { return rank(a) < rank(b); });
    run = end == run ? end + 1 : end;
  }
  std::string ordered;
  for (const std::string& line : lines) {
    ordered += line;
  }
  return ordered;
}

std::string WhyProcCannotBeHidden() {
#ifdef SCRIPT_MENU_SANITIZED
  return "the sanitizers' own runtime needs /proc";
#else
  if (std::system("unshare --user --map-root-user --mount true 2> /dev/null") != 0) {
    return "this machine does not let the test make a user and mount namespace";
  }
  return "";
#endif
}

Child Start(const Launch& launch) {
  signal(SIGPIPE, SIG_IGN);  // writing to a program that has gone must not end the test
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  int terminal = -1;  // the side the program gets, when on a terminal
  Child child;
  if (pipe(err) != 0) {
    Fail("pipe");
  }
  if (launch.terminal) {
    child.input = posix_openpt(O_RDWR | O_NOCTTY);
    if (child.input < 0 || grantpt(child.input) != 0 || unlockpt(child.input) != 0) {
      Fail("posix_openpt");
    }
    terminal = open(ptsname(child.input), O_RDWR | O_NOCTTY);
    if (terminal < 0) {
      Fail("open terminal");
    }
    // No echo of what is typed, and line ends left alone, so the output reads as on a pipe.
    termios settings{};
    tcgetattr(terminal, &settings);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tcsetattr(terminal, TCSANOW, &settings);
    child.output = dup(child.input);
    child.terminal = true;
  } else if (pipe(in) != 0 || pipe(out) != 0) {
    Fail("pipe");
  }

  // Everything the child needs is made before the fork.
  const std::vector<std::string> env = ChildEnvironment(launch.env);
  std::vector<char*> envp;
  envp.reserve(env.size() + 1);
  for (const std::string& entry : env) {
    envp.push_back(const_cast<char*>(entry.c_str()));
  }
  envp.push_back(nullptr);
  std::vector<char*> argv = {const_cast<char*>(launch.program.c_str())};
  for (const std::string& argument : launch.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  const std::string directory = launch.directory.string();
  const std::string output_file = launch.output_file.string();

  child.pid = fork();
  if (child.pid < 0) {
    Fail("fork");
  }
  if (child.pid == 0) {
    if (launch.terminal) {
      setsid();
      ioctl(terminal, TIOCSCTTY, 0);
      dup2(terminal, STDIN_FILENO);
      dup2(terminal, STDOUT_FILENO);
    } else {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
    }
    dup2(err[1], STDERR_FILENO);
    if (launch.stdin_write_only) {
      const int write_only = open("/dev/null", O_WRONLY);
      dup2(write_only, STDIN_FILENO);
    }
    CloseStandardStreams(launch);
    if (!output_file.empty()) {
      const int file = open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(file, STDOUT_FILENO);
    }
    if (launch.file_size_limit >= 0) {
      const rlimit limit = {static_cast<rlim_t>(launch.file_size_limit),
                            static_cast<rlim_t>(launch.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
      signal(SIGXFSZ, SIG_IGN);  // a write beyond the limit fails instead of ending the program
    }
    for (int fd = 3; fd < 1024; ++fd) {
      close(fd);
    }
    if (launch.open_files_limit >= 0) {
      const rlimit limit = {static_cast<rlim_t>(launch.open_files_limit),
                            static_cast<rlim_t>(launch.open_files_limit)};
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (!directory.empty() && chdir(directory.c_str()) != 0) {
      _exit(126);
    }
    std::vector<char*> child_envp = envp;
    std::string variable = launch.handed_over_variable;
    if (!variable.empty()) {
      variable = HandOver(launch, variable);
      child_envp.insert(child_envp.begin(), variable.data());
    }
    // As a user's shell leaves them, whatever the test runner ignores.
    signal(SIGPIPE, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    execve(argv[0], argv.data(), child_envp.data());
    _exit(127);
  }

  if (launch.terminal) {
    close(terminal);
  } else {
    close(in[0]);
    close(out[1]);
    child.input = in[1];
    child.output = out[0];
  }
  if (!output_file.empty()) {
    CloseFd(child.output);  // nothing comes through the pipe: the test reads the file
  }
  close(err[1]);
  child.errors = err[0];
  SetNonBlocking(child.input);  // so that a program which stops reading cannot block a test
  SetNonBlocking(child.output);
  SetNonBlocking(child.errors);
  return child;
}

bool Send(Child& child, const std::string& text) {
  std::size_t sent = 0;
  const auto deadline = Clock::now() + kPatience;
  while (sent < text.size() && child.input >= 0 && Clock::now() < deadline) {
    pollfd fd = {child.input, POLLOUT, 0};
    if (poll(&fd, 1, 10) > 0) {
      const ssize_t n = write(child.input, text.data() + sent, text.size() - sent);
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        return false;  // the program has gone
      }
      sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    Pump(child, milliseconds(0));  // never let a full output pipe block the program
  }
  return sent == text.size();
}

bool WaitForOutput(Child& child, const std::string& text, std::size_t from, milliseconds patience) {
  const auto deadline = Clock::now() + patience;
  while (child.out.find(text, from) == std::string::npos) {
    if (Clock::now() >= deadline || (!Pump(child, milliseconds(10)) && child.output < 0)) {
      return child.out.find(text, from) != std::string::npos;
    }
  }
  return true;
}

void CloseOutput(Child& child) { CloseFd(child.output); }

Outcome Finish(Child& child, milliseconds patience) {
  const auto deadline = Clock::now() + patience;
  Outcome outcome;
  int status = 0;
  bool exited = false;
  if (!child.terminal) {
    CloseFd(child.input);  // end of input; a terminal stays open, as a user's does, until the exit
  }
  while (!exited) {
    Pump(child, milliseconds(10));
    exited = waitpid(child.pid, &status, WNOHANG) == child.pid;
    if (!exited && Clock::now() >= deadline) {
      kill(child.pid, SIGKILL);
      waitpid(child.pid, &status, 0);
      exited = true;
      outcome.timed_out = true;
      ADD_FAILURE() << "the program hung: still running after " << patience.count() / 1000
                    << " s, so it was killed";
    }
  }
  // Whatever is still in the streams after the exit.
  while (Pump(child, milliseconds(50)) && Clock::now() < deadline + milliseconds(1000)) {
  }
  child.pid = -1;
  CloseFd(child.input);
  CloseFd(child.output);
  CloseFd(child.errors);
  outcome.out = child.out;
  outcome.err = child.err;
  if (WIFEXITED(status) && !outcome.timed_out) {
    outcome.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    outcome.signal = WTERMSIG(status);
  }
  return outcome;
}

const char kEchoModule[] = R"py(
def printsomething():
    print("menu")

def PrintMe(value):
    print("PrintMe({!r})".format(value))
    return value

def DoubleValue(value):
    print("DoubleValue({!r})".format(value))
    return value * 2
)py";

Outcome Talk(const std::string& module_source, const std::string& input, Launch launch) {
  const TempDir module;
  WriteModule(module.path, module_source);
  launch.env.push_back("PYTHONPATH=" + module.path.string());
  return RunProgram(launch, input);
}

testing::AssertionResult EndedCleanly(const Outcome& run) {
  if (run.err.empty() && run.exit_code == 0) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure()
         << "status " << run.exit_code << ", signal " << run.signal << ", standard error:\n"
         << run.err;
}

Outcome RunProgram(const Launch& launch, const std::string& input) {
  Child child = Start(launch);
  Send(child, input);
  return Finish(child, launch.patience);
}

Cycles PrintMeCycles(int cycles) {
  Cycles transcript;
  for (int i = 1; i <= cycles; ++i) {
    transcript.input += "1 " + std::to_string(i) + "\n";
    transcript.output += "Enter a number.\n" + std::to_string(i) + "\n\nmenu\n";
  }
  transcript.input += "3\n";
  return transcript;
}

}  // namespace support
