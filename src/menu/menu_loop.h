// The console menu: the program's one loop.
#ifndef SCRIPT_MENU_MENU_MENU_LOOP_H_
#define SCRIPT_MENU_MENU_MENU_LOOP_H_

// Runs the dialogue on standard input and output until the user chooses 3 or the input ends, and
// returns the process exit status: 0 then, non-zero when standard input cannot be read or standard
// output can no longer be written.
int RunMenuLoop();

#endif  // SCRIPT_MENU_MENU_MENU_LOOP_H_
