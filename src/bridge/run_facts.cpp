#include "bridge/run_facts.h"

#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string_view>
#include <system_error>
#include <utility>

namespace {

std::optional<std::vector<std::string>> program_arguments;
std::vector<std::string> start_environment;
std::string program_to_start;   // ProgramToStart(), as the image started
std::string process_name;       // ProcessName()
std::vector<std::string> said;  // what the program has said once, in this image or one before it

std::string CurrentProcessName() {
  char name[17] = {};  // the kernel's 16 bytes, NUL included
  prctl(PR_GET_NAME, name);
  return name;
}

// The file the kernel lists this program's own code as mapped from; empty where /proc cannot tell.
// It is the program's file also where the image was started through the dynamic loader (ld.so
// with its options) or a checker such as valgrind, whose file /proc/self/exe then is.
std::string FileOfOwnCode() {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): an address, to find in the list
  const auto own_code = reinterpret_cast<std::uintptr_t>(&FileOfOwnCode);
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    unsigned long long start = 0;
    unsigned long long end = 0;
    int path_at = 0;
    // start-end permissions offset device inode path
    if (std::sscanf(line.c_str(), "%llx-%llx %*s %*s %*s %*s %n", &start, &end, &path_at) >= 2 &&
        start <= own_code && own_code < end && path_at > 0) {
      return line.substr(static_cast<std::size_t>(path_at));
    }
  }
  return "";
}

bool SameFile(const char* one, const char* other) {
  struct stat first = {};
  struct stat second = {};
  return stat(one, &first) == 0 && stat(other, &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

std::string FileToStart() {
  std::string own = FileOfOwnCode();
  constexpr std::string_view kGone = " (deleted)";
  const bool gone = own.size() >= kGone.size() &&
                    own.compare(own.size() - kGone.size(), kGone.size(), kGone) == 0;
  if (own.empty() || gone || SameFile(own.c_str(), "/proc/self/exe")) {
    return access("/proc/self/exe", X_OK) == 0 ? "/proc/self/exe" : ProgramFile().string();
  }
  return own;
}

}  // namespace

void KeepStartFacts(char** arguments) {
  program_arguments.emplace();
  for (char** argument = arguments; *argument != nullptr; ++argument) {
    program_arguments->emplace_back(*argument);
  }
  for (char** entry = environ; *entry != nullptr; ++entry) {
    start_environment.emplace_back(*entry);
  }
  program_to_start = FileToStart();
  process_name = CurrentProcessName();
}

const std::optional<std::vector<std::string>>& StartArguments() { return program_arguments; }

const std::vector<std::string>& StartEnvironment() { return start_environment; }

std::optional<std::string> Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

std::optional<std::string> StartEnvironmentValue(const std::string& name) {
  if (!program_arguments) {
    return Variable(name.c_str());  // not started as the program: this process's
  }
  const std::string prefix = name + "=";
  for (const std::string& entry : start_environment) {
    if (entry.compare(0, prefix.size(), prefix) == 0) {
      return entry.substr(prefix.size());
    }
  }
  return std::nullopt;
}

const std::string& ProgramToStart() { return program_to_start; }

std::filesystem::path ProgramFile() {
  if (const std::string own = FileOfOwnCode(); !own.empty()) {
    return own;  // " (deleted)" after the name, if it has gone since, leaves its folder as it was
  }
  std::error_code error;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the kernel hands the address over as a number
  const auto* started_as = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  if (started_as == nullptr) {
    return {};
  }
  const std::filesystem::path resolved = std::filesystem::canonical(started_as, error);
  return error ? std::filesystem::path() : resolved;
}

const std::string& ProcessName() { return process_name; }

void TakeOverProcessName(const std::string& name) {
  process_name = name;
  prctl(PR_SET_NAME, process_name.c_str());
}

void SayOnce(const std::string& message) {
  if (std::find(said.begin(), said.end(), message) == said.end()) {
    said.push_back(message);
    std::fprintf(stderr, "script-menu: %s\n", message.c_str());
  }
}

const std::vector<std::string>& Said() { return said; }

void TakeOverSaid(std::vector<std::string> said_before) { said = std::move(said_before); }
