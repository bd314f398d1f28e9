// A fresh image of the program in this process (execve of its own file), for the call after one
// that left what no interpreter can be started beside soundly (call_leftovers.h). The kernel
// ends every other thread, keeps the process id, its descriptors but the close-on-exec ones, its
// children, signal mask, ignored signals and timers, and starts the program anew. What the image
// before hands over is what the kernel does not keep: where the caller stands, and the
// environment (doc/design.md).
#ifndef SCRIPT_MENU_BRIDGE_FRESH_IMAGE_H_
#define SCRIPT_MENU_BRIDGE_FRESH_IMAGE_H_

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Starts the program afresh in this process, with `carried` handed over to the new image. Returns
// only if that cannot be done (no memory, or the program's file cannot be run), having said so
// on standard error once: the process then goes on with what the calls before left in it.
void StartFreshImage(const std::vector<std::string>& carried);

// A variable of the environment the program started with (every image starts with it), or none.
std::optional<std::string> StartEnvironmentValue(const std::string& name);

// Says "script-menu: <message>" on standard error, unless the program has said it already, in
// this image or one before it.
void SayOnce(const std::string& message);

// The program's file: the file the kernel lists its code as mapped from (whether the program was
// started by its own name, through the dynamic loader or under a checker), or where /proc is not
// mounted, the path it was started by. Empty if neither tells.
std::filesystem::path ProgramFile();

#endif  // SCRIPT_MENU_BRIDGE_FRESH_IMAGE_H_
