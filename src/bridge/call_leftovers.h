// What a call leaves in its process, which decides how the next call starts: with a fresh
// interpreter in this process, or in a fresh image of the program (fresh_image.h) where this
// process can no longer start one soundly. doc/design.md has the checks, in order, and why.
#ifndef SCRIPT_MENU_BRIDGE_CALL_LEFTOVERS_H_
#define SCRIPT_MENU_BRIDGE_CALL_LEFTOVERS_H_

#include <sys/types.h>

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

// The descriptors above the standard streams that are open, each with the file it is open on.
using OpenDescriptors = std::set<std::tuple<int, dev_t, ino_t>>;

// Before the interpreter starts: reaps the children that have ended, takes away a fault guard a
// call before left in place, and returns the open descriptors (and notes, at the image's first
// call, its memory).
OpenDescriptors NoteProcessBeforeCall();

// With the interpreter still running, just before its shut-down: whether the call imported a
// module of StandardModulesThatCannotRestart(); `traces_memory` tells whether the interpreter
// started with tracemalloc (_tracemalloc, built in, which no module then shows).
bool StandardModuleThatCannotRestartImported(bool traces_memory);

// Just before the shut-down: until the call is over (and, if threads remain, until the fresh
// image), a thread other than the calling one that faults waits, rather than end the process.
void GuardAgainstFaultsOfOtherThreads();

// After the shut-down, with the standard streams given back: reaps the children that have ended,
// then notes whether the call left an extension module loaded that does not survive a restart (the
// first argument tells of the standard ones it imported), the process grown past its bound, a
// descriptor that it opened close-on-exec (against those open at its start), a PYTHONPATH changed
// that the release's later starts would not see (against the one at its start), or a thread
// running.
void NoteProcessAfterCall(bool standard_module_that_cannot_restart_imported,
                          const OpenDescriptors& open_at_call_start,
                          const std::optional<std::string>& module_path_at_call_start);

// Whether the last call left any of those: the next call has to start in a fresh image.
bool FreshImageNeeded();

// Whether it left an extension module that does not survive a restart, or the process past its
// bound: not even another interpreter in this process could serve the next call.
bool RestartUnsound();

// Takes the fault guard away, if it is in place.
void RemoveFaultGuard();

// The extension modules of this release's standard library that are known not to survive a
// restart of the interpreter in one process.
const std::vector<std::string>& StandardModulesThatCannotRestart();

// A task's state and flags, from its line in /proc/<pid>/task/<tid>/stat; nothing if the line is
// not one.
std::optional<std::pair<char, unsigned long>> TaskStateAndFlags(std::string_view stat_line);

// How many threads the kernel lists for this process; -1 where /proc cannot tell.
int ThreadsOfThisProcess();

#endif  // SCRIPT_MENU_BRIDGE_CALL_LEFTOVERS_H_
