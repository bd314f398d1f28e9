// The embedded interpreter, started and shut down once per bridge call.
#ifndef SCRIPT_MENU_BRIDGE_INTERPRETER_H_
#define SCRIPT_MENU_BRIDGE_INTERPRETER_H_

#include <functional>

// Starts the interpreter as the python3 command the program is built against would start in this
// environment, runs `call` in it (the import and the call, which tells whether either failed), and
// shuts it down again, which also flushes what the script wrote, and notes whether the process is
// still fit for the next call's interpreter (call_leftovers.h).
// - If the interpreter cannot start, writes its reason on standard error and ends the program with
//   a failure status. Ctrl-C meanwhile ends the program by SIGINT, once it has said so.
// - A process that the script forked ends once its call has ended, as it would under python3: its
//   output written out, and its status 1 if `call` failed, 0 otherwise.
// - If the script's output cannot be written, says so on standard error and ends the program with
//   a failure status. If Ctrl-C cut short the shut-down's wait for the script's threads, ends the
//   program by SIGINT.
void RunInFreshInterpreter(const std::function<bool()>& call);

#endif  // SCRIPT_MENU_BRIDGE_INTERPRETER_H_
