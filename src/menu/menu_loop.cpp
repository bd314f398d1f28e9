#include "menu/menu_loop.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "bridge/script_bridge.h"
#include "menu/menu_input.h"

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

// How the program ends once standard input has nothing more: quietly when the input simply ended,
// with a message and a failure status when it could not be read.
int EndOfInputStatus(int input_end) {
  if (input_end == 0) {
    return EXIT_SUCCESS;
  }
  ReportStreamFailure("read standard input", input_end);
  return EXIT_FAILURE;
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
