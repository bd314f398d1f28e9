// The script bridge: one call into the PythonCode module per operation.
//
// Each operation starts a fresh interpreter, imports PythonCode afresh (its top-level code runs
// every time), makes its one call and shuts the interpreter down before returning, so nothing
// carries over from one call to the next and whatever the script wrote is out on return.
// No interpreter may be running when either is called. They are not re-entrant.
#ifndef SCRIPT_MENU_BRIDGE_SCRIPT_BRIDGE_H_
#define SCRIPT_MENU_BRIDGE_SCRIPT_BRIDGE_H_

#include <optional>
#include <string>
#include <vector>

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

// After either operation: if its call left the process unfit for another interpreter (a thread
// running, a module that cannot restart), starts the program afresh in this process
// (fresh_image.h), handing `carried` over to the new image, which gets it from
// TakeOverFromFormerImage. Returns when no fresh image is needed, or when one cannot be started
// and the process can still serve the next call (having said so).
void GoOnInFreshImageIfNeeded(const std::vector<std::string>& carried);

// First thing in main: keeps the program's arguments and the environment it started with, which
// every fresh image is started with. In an image that GoOnInFreshImageIfNeeded started, it then
// takes over from the image before: its environment, the program's process name, and what it was
// given to carry, which it returns; std::nullopt in the program's first image.
std::optional<std::vector<std::string>> TakeOverFromFormerImage(char** arguments);

#endif  // SCRIPT_MENU_BRIDGE_SCRIPT_BRIDGE_H_
