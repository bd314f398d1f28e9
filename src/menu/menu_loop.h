// The console menu: the program's one loop.
#ifndef SCRIPT_MENU_MENU_MENU_LOOP_H_
#define SCRIPT_MENU_MENU_MENU_LOOP_H_

#include <string>
#include <vector>

// In a fresh image of the program: makes RunMenuLoop go on where the image before stopped, with
// the input it had read and not yet taken, from the state that image handed over. False if the
// state is not one the menu wrote.
bool ResumeMenu(const std::vector<std::string>& state);

// Runs the dialogue on standard input and output until the user chooses 3 or the input ends, and
// returns the process exit status: 0 then, non-zero when standard input cannot be read or standard
// output can no longer be written.
int RunMenuLoop();

#endif  // SCRIPT_MENU_MENU_MENU_LOOP_H_
