#include <csignal>

#include "menu/menu_loop.h"

int main() {
  // A reader of our output that has gone must show up as a failed write, which the menu reports
  // and stops on. A started interpreter ignores SIGPIPE as well; this makes it so from the start.
  std::signal(SIGPIPE, SIG_IGN);
  return RunMenuLoop();
}
