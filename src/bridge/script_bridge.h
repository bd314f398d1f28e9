// The script bridge: one call into the PythonCode module per operation.
//
// Each operation starts a fresh interpreter, imports PythonCode afresh (its top-level code runs
// every time), makes its one call and shuts the interpreter down before returning, so nothing
// carries over from one call to the next and whatever the script wrote is out on return.
// No interpreter may be running when either is called. They are not re-entrant.
#ifndef SCRIPT_MENU_BRIDGE_SCRIPT_BRIDGE_H_
#define SCRIPT_MENU_BRIDGE_SCRIPT_BRIDGE_H_

#include <string>

// Calls PythonCode.<name>() and ignores what it returns. A failed import or a missing attribute
// is printed on standard error; whatever the function itself raises is dropped unprinted.
// A SystemExit raised by the module's top-level code ends the program with its status.
void RunScriptProcedure(std::string name);

// Calls PythonCode.<name>(value) if that is callable and returns its result as an int.
// The function's exceptions are printed with their traceback on standard error, and a SystemExit
// ends the program with its status. Returns -1 when there is no int to give: the module cannot be
// imported, the name is missing or not callable, the call raised, or the interpreter's int
// conversion refuses the result (None, text, an int beyond the int range).
int CallScriptIntFunction(std::string name, int value);

#endif  // SCRIPT_MENU_BRIDGE_SCRIPT_BRIDGE_H_
