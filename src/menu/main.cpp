#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "bridge/script_bridge.h"
#include "menu/menu_loop.h"

namespace {

// Gives each standard stream that the program was started without /dev/null, so that no file
// opened later (by the interpreter or a script) takes its number and receives what is meant for
// the stream. Standard input gets it for writing only, so that reading it still fails as reading a
// closed one does.
void OpenClosedStandardStreamsOnDevNull() {
  for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (fcntl(stream, F_GETFD) == -1 && errno == EBADF) {
      (void)open("/dev/null", O_WRONLY);  // takes the lowest free number, which is this one
    }
  }
}

}  // namespace

int main(int /*argc*/, char** argv) {
  // Nothing the program or a script writes could be seen: say so rather than run unseen.
  const bool output_open = fcntl(STDOUT_FILENO, F_GETFD) != -1;
  OpenClosedStandardStreamsOnDevNull();
  if (!output_open) {
    std::cerr << "script-menu: cannot write to standard output: " << std::strerror(EBADF)
              << std::endl;
    return EXIT_FAILURE;
  }
  // A fresh image of the program goes on where the image before it stopped.
  const std::optional<std::vector<std::string>> handed_over = TakeOverFromFormerImage(argv);
  if (handed_over.has_value() && !ResumeMenu(*handed_over)) {
    std::cerr << "script-menu: cannot read what the program's former image handed over"
              << std::endl;
    return EXIT_FAILURE;
  }
  // A reader of our output that has gone must show up as a failed write, which the menu reports
  // and stops on. A started interpreter ignores SIGPIPE as well; this makes it so from the start.
  std::signal(SIGPIPE, SIG_IGN);
  return RunMenuLoop();
}
