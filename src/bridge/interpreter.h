// Starting and shutting down the embedded interpreter, once per bridge call.
#ifndef SCRIPT_MENU_BRIDGE_INTERPRETER_H_
#define SCRIPT_MENU_BRIDGE_INTERPRETER_H_

// Starts the interpreter as the python3 command the program is built against would start in this
// environment. If it cannot start, writes the interpreter's reason on standard error and ends the
// program with a failure status.
void StartInterpreter();

// Shuts the interpreter down, which also flushes what the script wrote, and waits for the threads
// the script left running to end. If the script's output cannot be written, or a thread does not
// end, says so on standard error and ends the program with a failure status.
void StopInterpreter();

#endif  // SCRIPT_MENU_BRIDGE_INTERPRETER_H_
