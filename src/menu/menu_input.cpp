#include "menu/menu_input.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

namespace {

// Reads what standard input has now (one line, from a terminal) onto `unread`. False once it has
// nothing more.
bool ReadMore(std::string& unread, std::optional<int>& input_end) {
  char chunk[8192];
  while (!input_end) {
    const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
    if (n > 0) {
      unread.append(chunk, static_cast<std::size_t>(n));
      return true;
    }
    if (n < 0 && errno == EAGAIN) {
      // Made non-blocking by another process that shares it: wait for it as a blocking read would.
      pollfd input = {STDIN_FILENO, POLLIN, 0};
      (void)poll(&input, 1, -1);
    } else if (n == 0 || errno != EINTR) {
      input_end = n == 0 ? 0 : errno;
    }
  }
  return false;
}

// Drops what is left of the line, its line end included.
void DropRestOfLine(std::string& unread, std::optional<int>& input_end) {
  for (;;) {
    const std::size_t line_end = unread.find('\n');
    if (line_end != std::string::npos) {
      unread.erase(0, line_end + 1);
      return;
    }
    unread.clear();
    if (!ReadMore(unread, input_end)) {
      return;
    }
  }
}

}  // namespace

bool InputExhausted(std::string& unread, std::optional<int>& input_end) {
  for (;;) {
    const std::size_t first = unread.find_first_not_of(" \t\n\v\f\r");
    if (first != std::string::npos) {
      unread.erase(0, first);
      return false;
    }
    unread.clear();
    if (!ReadMore(unread, input_end)) {
      return true;
    }
  }
}

bool ReadInt(std::string& unread, std::optional<int>& input_end, int& value) {
  std::size_t length = 0;
  for (;;) {
    while (length < unread.size() && ((unread[length] >= '0' && unread[length] <= '9') ||
                                      (length == 0 && (unread[0] == '+' || unread[0] == '-')))) {
      ++length;
    }
    if (length < unread.size() || !ReadMore(unread, input_end)) {
      break;
    }
  }
  std::istringstream number(unread.substr(0, length));
  unread.erase(0, length);
  if (number >> value) {
    return true;
  }
  DropRestOfLine(unread, input_end);
  return false;
}
