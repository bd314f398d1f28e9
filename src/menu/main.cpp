#include <csignal>
#include <iostream>

#include "menu/menu_loop.h"

int main() {
  // A reader of our output that has gone must show up as a failed write, which the menu reports
  // and stops on. A started interpreter ignores SIGPIPE as well; this makes it so from the start.
  std::signal(SIGPIPE, SIG_IGN);
  // The menu reads through a buffer of its own, not through C's stdin, which is where a script's
  // input() reads from on a terminal: what is left of the line with the number stays the menu's,
  // and the script gets the next line the user types.
  std::ios::sync_with_stdio(false);
  return RunMenuLoop();
}
