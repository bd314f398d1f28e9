// Starting and shutting down the embedded interpreter, once per bridge call.
#ifndef SCRIPT_MENU_BRIDGE_INTERPRETER_H_
#define SCRIPT_MENU_BRIDGE_INTERPRETER_H_

// Starts the interpreter as the python3 command the program is built against would start in this
// environment. If it cannot start, writes the interpreter's reason on standard error and ends the
// program with a failure status. Ctrl-C meanwhile ends the program by SIGINT, once it has said so.
void StartInterpreter();

// Shuts the interpreter down, which also flushes what the script wrote, and notes whether the
// process is still fit for the next call's interpreter (call_leftovers.h). If the script's output
// cannot be written, says so on standard error and ends the program with a failure status. If
// Ctrl-C cut short the shut-down's wait for the script's threads, ends the program by SIGINT.
void StopInterpreter();

#endif  // SCRIPT_MENU_BRIDGE_INTERPRETER_H_
