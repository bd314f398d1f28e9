#include "bridge/fresh_image.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string_view>
#include <vector>

#include "bridge/call_leftovers.h"
#include "bridge/run_facts.h"
#include "bridge/script_bridge.h"

namespace {

// Names, in the environment a fresh image starts with, the memory file that holds what the image
// before handed over, as <process id>:<descriptor>. Taken only by the process it names, and only
// when it is a sealed memory file: an inherited or stray variable never matches.
constexpr char kHandedOverVariable[] = "SCRIPT_MENU_HANDED_OVER";

// The memory file's first field, so that one of another format is never taken for ours.
constexpr std::string_view kFormat = "script-menu handed over, 1";

// Sealed, the memory file cannot change once written, and only a memory file can be sealed.
constexpr int kSeals = F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;

// The strings as execve takes them, ended by a null pointer.
std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& string : strings) {
    pointers.push_back(string.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

// The memory file with what is handed over, at a descriptor that the new image inherits, read
// from the start; -1 if it cannot be made.
int HandOverFile(const std::string& contents) {
  // Close-on-exec until the exec, so that no process another thread starts inherits it.
  const int file = memfd_create("script-menu-handed-over", MFD_ALLOW_SEALING | MFD_CLOEXEC);
  if (file < 0) {
    return -1;
  }
  std::size_t written = 0;
  while (written < contents.size()) {
    const ssize_t n = write(file, contents.data() + written, contents.size() - written);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      close(file);
      return -1;
    }
    written += static_cast<std::size_t>(n);
  }
  if (fcntl(file, F_ADD_SEALS, kSeals) != 0 || lseek(file, 0, SEEK_SET) != 0) {
    close(file);
    return -1;
  }
  return file;
}

// Whether a file can still be opened: the new image's loader opens each library it loads, and a
// script may have lowered the limit on open files to what is open now (errno then says so).
bool DescriptorFree() {
  const int probe = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (probe < 0) {
    return false;
  }
  close(probe);
  return true;
}

// Whether the variable names this process: then the image before did hand over, and the
// descriptor it names, if that is a sealed memory file still, or else -1 (it was lost: a thread
// the image before left closed it, say).
std::optional<int> HandedOverFile(std::string_view variable) {
  const char* end = variable.data() + variable.size();
  long process = 0;
  int file = -1;
  const auto [colon, process_error] = std::from_chars(variable.data(), end, process);
  if (process_error != std::errc() || colon == end || *colon != ':' || process != getpid()) {
    return std::nullopt;
  }
  const auto [file_end, file_error] = std::from_chars(colon + 1, end, file);
  if (file_error != std::errc() || file_end != end || fcntl(file, F_GET_SEALS) != kSeals) {
    return -1;
  }
  return file;
}

std::string ReadAll(int file) {
  std::string contents;
  char chunk[65536];
  for (;;) {
    const ssize_t n = read(file, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return contents;
    }
    contents.append(chunk, static_cast<std::size_t>(n));
  }
}

// The environment as the image before had it when it handed over. Only the entries that differ
// from those the image started with change: the others stay where the kernel laid them out, after
// the arguments, where libraries that set a process title (setproctitle) look from environ[0].
void RestoreEnvironment(const std::vector<std::string_view>& entries) {
  const std::set<std::string_view> wanted(entries.begin(), entries.end());
  std::vector<std::string> unwanted;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (wanted.count(*entry) == 0) {
      unwanted.emplace_back(std::string_view(*entry).substr(0, std::strcspn(*entry, "=")));
    }
  }
  for (const std::string& name : unwanted) {
    unsetenv(name.c_str());
  }
  for (const std::string_view entry : entries) {
    const std::size_t equals = entry.find('=');
    if (equals != std::string_view::npos && equals > 0) {
      const std::string name(entry.substr(0, equals));
      const std::string value(entry.substr(equals + 1));
      const char* now = std::getenv(name.c_str());
      if (now == nullptr || value != now) {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
  }
}

[[noreturn]] void CannotTakeOver() {
  std::fprintf(stderr, "script-menu: cannot read what the program's former image handed over\n");
  std::exit(EXIT_FAILURE);
}

}  // namespace

void AppendField(std::string& record, std::string_view field) {
  record += std::to_string(field.size());
  record += ':';
  record += field;
}

bool TakeField(std::string_view& record, std::string_view& field) {
  std::size_t length = 0;
  const char* end = record.data() + record.size();
  const auto [digits_end, error] = std::from_chars(record.data(), end, length);
  if (error != std::errc() || digits_end == end || *digits_end != ':' ||
      length > static_cast<std::size_t>(end - digits_end - 1)) {
    return false;
  }
  field = std::string_view(digits_end + 1, length);
  record.remove_prefix(static_cast<std::size_t>(digits_end + 1 - record.data()) + length);
  return true;
}

bool TakeFields(std::string_view& record, std::vector<std::string_view>& fields) {
  std::string_view count;
  std::size_t fields_left = 0;
  if (!TakeField(record, count)) {
    return false;
  }
  const char* count_end = count.data() + count.size();
  const auto [digits_end, error] = std::from_chars(count.data(), count_end, fields_left);
  if (error != std::errc() || digits_end != count_end) {
    return false;
  }
  for (std::string_view field; fields_left > 0; --fields_left) {
    if (!TakeField(record, field)) {
      return false;
    }
    fields.push_back(field);
  }
  return true;
}

void AppendFields(std::string& record, const std::vector<std::string>& fields) {
  AppendField(record, std::to_string(fields.size()));
  for (const std::string& field : fields) {
    AppendField(record, field);
  }
}

std::optional<std::vector<std::string>> TakeOverFromFormerImage(char** arguments) {
  char* variable = std::getenv(kHandedOverVariable);
  const std::string handed_over = variable != nullptr ? variable : "";
  if (variable != nullptr) {
    unsetenv(kHandedOverVariable);  // no script, and no process a script starts, sees it
    // Nor /proc/<pid>/environ, which shows the bytes where the kernel laid the entry out.
    char* entry = variable - sizeof kHandedOverVariable;  // "NAME=" before it
    std::memset(entry, 0, sizeof kHandedOverVariable + handed_over.size());
  }
  KeepStartFacts(arguments);

  const std::optional<int> file = HandedOverFile(handed_over);
  if (!file) {
    return std::nullopt;  // the program's first image
  }
  if (*file < 0) {
    CannotTakeOver();
  }
  const std::string contents = ReadAll(*file);
  close(*file);
  // Its format, the process name, the environment's entries, what the program has said once,
  // what was carried: each list of fields a count, then its fields.
  std::string_view rest = contents;
  std::string_view format;
  std::string_view name;
  std::vector<std::string_view> environment;
  std::vector<std::string_view> said_before;
  std::vector<std::string_view> carried;
  if (!TakeField(rest, format) || format != kFormat || !TakeField(rest, name) ||
      !TakeFields(rest, environment) || !TakeFields(rest, said_before) ||
      !TakeFields(rest, carried) || !rest.empty()) {
    CannotTakeOver();
  }
  TakeOverProcessName(std::string(name));
  RestoreEnvironment(environment);
  TakeOverSaid(std::vector<std::string>(said_before.begin(), said_before.end()));
  return std::vector<std::string>(carried.begin(), carried.end());
}

void StartFreshImage(const std::vector<std::string>& carried) {
  std::fflush(nullptr);  // what C's streams hold, written by a C library, say, is not lost
  std::string contents;
  AppendField(contents, kFormat);
  AppendField(contents, ProcessName());
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    environment.emplace_back(*entry);
  }
  AppendFields(contents, environment);
  AppendFields(contents, Said());
  AppendFields(contents, carried);

  const std::optional<std::vector<std::string>>& start_arguments = StartArguments();
  const int file = start_arguments ? HandOverFile(contents) : -1;
  int error = errno;
  if (file >= 0 && (fcntl(file, F_SETFD, 0) != 0 || !DescriptorFree())) {
    error = errno;
    close(file);
  } else if (file >= 0) {  // the new image's to read
    std::vector<std::string> started_with = StartEnvironment();
    started_with.push_back(std::string(kHandedOverVariable) + "=" + std::to_string(getpid()) + ":" +
                           std::to_string(file));
    std::vector<std::string> arguments = *start_arguments;
    execve(ProgramToStart().c_str(), Pointers(arguments).data(), Pointers(started_with).data());
    error = errno;
    close(file);
  }
  if (RestartUnsound()) {
    // What the last call loaded does not survive another start in this process (a second one
    // crashes many such modules), nor does the memory it kept go.
    std::fprintf(stderr,
                 "script-menu: cannot start the program afresh: %s; what the last call loaded "
                 "cannot be started again in this process, so the program ends\n",
                 std::strerror(error));
    std::fflush(nullptr);
    _exit(EXIT_FAILURE);  // no exit function or destructor runs beside the threads left
  }
  SayOnce(std::string("cannot start the program afresh: ") + std::strerror(error) +
          "; it goes on in this process, with what the calls before left in it");
  RemoveFaultGuard();  // the threads left run on
}
