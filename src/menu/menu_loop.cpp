#include "menu/menu_loop.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/script_bridge.h"

namespace {

constexpr char kEnterNumber[] = "Enter a number.";
constexpr char kInvalidInput[] = "Invalid input, try again.";

// Where the loop stands: the steps a fresh image of the program can resume at are the ones that
// follow a script call.
enum class Step : char {
  kMenu = 'M',       // a cycle begins: the script's menu
  kChoice = 'C',     // read the choice (and act on it)
  kEmptyLine = 'L',  // the empty line after a number action
};
// What the image before handed over, checked, for RunMenuLoop (which takes no arguments) to go on
// from: the step, the input's end, the unread input (MenuState). Empty in the program's first
// image.
std::vector<std::string> resumed;

// The menu's standard input. `unread` is what it has read and not yet taken: input typed ahead, the
// rest of a line, a pipe's contents written all at once. `input_end` is set once it has nothing
// more: 0 when it ended, the read's error when it cannot be read.

// Says on standard error what the program cannot do with a standard stream, and why if known.
void ReportStreamFailure(const char* what, int error) {
  std::cerr << "script-menu: cannot " << what;
  if (error != 0) {
    std::cerr << ": " << std::strerror(error);
  }
  std::cerr << std::endl;
}

// Writes one line of the dialogue and flushes it, so that it is out before we wait for input.
// False, after saying why, when standard output cannot take it: its reader has gone, or it is
// closed or full. Going on would only cycle unseen.
bool WriteLine(const char* text) {
  errno = 0;
  if (std::cout << text << std::endl) {
    return true;
  }
  ReportStreamFailure("write to standard output", errno);
  return false;
}

// Reads what standard input has now (one line, from a terminal) onto `unread`. False once it has
// nothing more. The menu reads through this buffer of its own, not through C's stdin, which is
// where a script's input() reads from on a terminal: what is left of the line with the number
// stays the menu's, and the script gets the next line the user types.
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

// Skips white space, line ends included, as `>> std::ws` does. True when nothing else can be
// read: the input has ended, or it cannot be read at all.
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

// How the program ends once standard input has nothing more: quietly when the input simply ended,
// with a message and a failure status when it could not be read.
int EndOfInputStatus(int input_end) {
  if (input_end == 0) {
    return EXIT_SUCCESS;
  }
  ReportStreamFailure("read standard input", input_end);
  return EXIT_FAILURE;
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

// Reads one int as formatted extraction (`>>`) reads it, once white space is skipped: an optional
// sign and the digits that follow, as far as they go. False when these make no int (text, or a
// number outside the int range); the rest of that line is then dropped, so the next read starts
// afresh.
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

// What a fresh image needs of the menu, as three fields: the step to resume at, the input's end
// (-1 while it has not ended) and what is unread of it.
std::vector<std::string> MenuState(Step next, const std::string& unread,
                                   const std::optional<int>& input_end) {
  return {std::string(1, static_cast<char>(next)), std::to_string(input_end.value_or(-1)), unread};
}

// The input's end from its field of the menu's state; false if the field is not one.
bool InputEnd(const std::string& field, std::optional<int>& input_end) {
  int value = 0;
  const auto [last, error] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (error != std::errc() || last != field.data() + field.size() || value < -1) {
    return false;
  }
  input_end = value >= 0 ? std::optional<int>(value) : std::nullopt;
  return true;
}

// The number action of choices 1 and 2, with the script function `function`. False once the
// program ends, with `status`; else `next` is the step that follows.
bool NumberAction(const char* function, std::string& unread, std::optional<int>& input_end,
                  Step& next, int& status) {
  status = EXIT_FAILURE;
  if (!WriteLine(kEnterNumber)) {
    return false;
  }
  if (InputExhausted(unread, input_end)) {
    status = EndOfInputStatus(*input_end);
    return false;
  }
  // The number is kept apart from the choice, so a typed 3 is only a number.
  int number = 0;
  if (!ReadInt(unread, input_end, number)) {
    next = Step::kMenu;
    return WriteLine(kInvalidInput);
  }
  CallScriptIntFunction(function, number);  // its result is not used
  GoOnInFreshImageIfNeeded(MenuState(Step::kEmptyLine, unread, input_end));
  next = Step::kEmptyLine;
  return true;
}

}  // namespace

bool ResumeMenu(const std::vector<std::string>& state) {
  std::optional<int> input_end;
  if (state.size() != 3 || state[0].size() != 1 ||
      (state[0][0] != static_cast<char>(Step::kChoice) &&
       state[0][0] != static_cast<char>(Step::kEmptyLine)) ||
      !InputEnd(state[1], input_end)) {
    return false;
  }
  resumed = state;
  return true;
}

int RunMenuLoop() {
  Step step = Step::kMenu;
  std::string unread;
  std::optional<int> input_end;
  if (!resumed.empty()) {
    step = static_cast<Step>(resumed[0][0]);
    (void)InputEnd(resumed[1], input_end);  // checked as it was handed over
    unread = resumed[2];
  }
  int choice = 0;
  for (;;) {
    switch (step) {
      case Step::kMenu:
        RunScriptProcedure("printsomething");  // the script's menu; all of it is out on return
        GoOnInFreshImageIfNeeded(MenuState(Step::kChoice, unread, input_end));
        step = Step::kChoice;
        break;

      case Step::kChoice:
        if (InputExhausted(unread, input_end)) {
          return EndOfInputStatus(*input_end);
        }
        step = Step::kMenu;  // unless a number action follows
        if (!ReadInt(unread, input_end, choice)) {
          if (!WriteLine(kInvalidInput)) {
            return EXIT_FAILURE;
          }
        } else if (choice == 1 || choice == 2) {
          int status = EXIT_SUCCESS;
          if (!NumberAction(choice == 1 ? "PrintMe" : "DoubleValue", unread, input_end, step,
                            status)) {
            return status;
          }
        } else if (choice == 3) {
          return EXIT_SUCCESS;
        } else if (!WriteLine(kInvalidInput)) {
          return EXIT_FAILURE;
        }
        break;

      case Step::kEmptyLine:
        if (!WriteLine("")) {
          return EXIT_FAILURE;
        }
        step = Step::kMenu;
        break;
    }
  }
}
