// A fresh image of the program in this process (execve of its own file), for the call after one
// that left what no interpreter can be started beside soundly (call_leftovers.h). The kernel
// ends every other thread, keeps the process id, its descriptors but the close-on-exec ones, its
// children, signal mask, ignored signals and timers, and starts the program anew. What the image
// before hands over is what the kernel does not keep: where the caller stands, and the
// environment (doc/design.md).
#ifndef SCRIPT_MENU_BRIDGE_FRESH_IMAGE_H_
#define SCRIPT_MENU_BRIDGE_FRESH_IMAGE_H_

#include <string>
#include <string_view>
#include <vector>

// Starts the program afresh in this process, with `carried` handed over to the new image. Returns
// only if that cannot be done (no memory, or the program's file cannot be run), having said so
// on standard error once: the process then goes on with what the calls before left in it.
void StartFreshImage(const std::vector<std::string>& carried);

// What is handed over is a record of fields: each its length in decimal, a colon, its bytes (any,
// NUL included); a list of fields is a field with their count, then the fields.
void AppendField(std::string& record, std::string_view field);
void AppendFields(std::string& record, const std::vector<std::string>& fields);

// Take the next field, or list of fields, off `record`; false if it is not there whole.
bool TakeField(std::string_view& record, std::string_view& field);
bool TakeFields(std::string_view& record, std::vector<std::string_view>& fields);

#endif  // SCRIPT_MENU_BRIDGE_FRESH_IMAGE_H_
