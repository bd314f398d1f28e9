#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "bridge/hand_over.h"
#include "menu/menu_loop.h"

namespace {

// A standard stream that was started closed is given /dev/null, so that no file opened later (by
// the interpreter or a script) takes its number and receives what is meant for the stream. Standard
// input gets it for writing only, so that reading it still fails as reading a closed one does.
// Tells whether standard output was open.
bool StandardOutputOpen() {
  bool output_open = true;
  for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (fcntl(stream, F_GETFD) == -1 && errno == EBADF) {
      output_open = output_open && stream != STDOUT_FILENO;
      (void)open("/dev/null", O_WRONLY);  // takes the lowest free number, which is this one
    }
  }
  return output_open;
}

}  // namespace

int main() {
  // Nothing the program or a script writes could be seen: say so rather than run unseen.
  if (!StandardOutputOpen()) {
    std::cerr << "script-menu: cannot write to standard output: " << std::strerror(EBADF)
              << std::endl;
    return EXIT_FAILURE;
  }
  // A reader of our output that has gone must show up as a failed write, which the menu reports
  // and stops on. A started interpreter ignores SIGPIPE as well; this makes it so from the start.
  std::signal(SIGPIPE, SIG_IGN);
  // From here on this process only supervises: the dialogue runs in a process of its own, which a
  // call that leaves threads running hands over to a copy of itself.
  SuperviseDialogue();
  // The menu reads through a buffer of its own, not through C's stdin, which is where a script's
  // input() reads from on a terminal: what is left of the line with the number stays the menu's,
  // and the script gets the next line the user types.
  std::ios::sync_with_stdio(false);
  return RunMenuLoop();
}
