#include "menu/menu_loop.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>

#include "bridge/script_bridge.h"

namespace {

constexpr char kEnterNumber[] = "Enter a number.";
constexpr char kInvalidInput[] = "Invalid input, try again.";

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

// Skips white space, line ends included. True when nothing else can be read: the input has ended,
// or it cannot be read at all.
bool InputExhausted() {
  errno = 0;
  std::cin >> std::ws;
  return std::cin.eof() || std::cin.bad();
}

// How the program ends once standard input has nothing more: quietly when the input simply ended,
// with a message and a failure status when it could not be read.
int EndOfInputStatus() {
  if (!std::cin.bad()) {
    return EXIT_SUCCESS;
  }
  ReportStreamFailure("read standard input", errno);
  return EXIT_FAILURE;
}

// Reads one int by formatted extraction. False when the next token is not one (text, or a number
// outside the int range); the rest of that line is then dropped, so the next read starts afresh.
bool ReadInt(int& value) {
  if (std::cin >> value) {
    return true;
  }
  std::cin.clear();
  std::cin.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  return false;
}

}  // namespace

int RunMenuLoop() {
  int choice = 0;
  for (;;) {
    RunScriptProcedure("printsomething");  // the script's menu; all of it is out on return

    if (InputExhausted()) {
      return EndOfInputStatus();
    }
    if (!ReadInt(choice)) {
      if (!WriteLine(kInvalidInput)) {
        return EXIT_FAILURE;
      }
      continue;
    }

    if (choice == 1 || choice == 2) {
      // The number is kept apart from the choice, so a typed 3 is only a number.
      if (!WriteLine(kEnterNumber)) {
        return EXIT_FAILURE;
      }
      if (InputExhausted()) {
        return EndOfInputStatus();
      }
      int number = 0;
      if (!ReadInt(number)) {
        if (!WriteLine(kInvalidInput)) {
          return EXIT_FAILURE;
        }
        continue;
      }
      CallScriptIntFunction(choice == 1 ? "PrintMe" : "DoubleValue", number);  // result unused
      if (!WriteLine("")) {
        return EXIT_FAILURE;
      }
    } else if (choice == 3) {
      return EXIT_SUCCESS;
    } else if (!WriteLine(kInvalidInput)) {
      return EXIT_FAILURE;
    }
  }
}
