// What a call leaves in its process, which decides how the next call starts: with a fresh
// interpreter in this process, or in a fresh image of the program (fresh_image.h) where this
// process can no longer start one soundly. doc/design.md has the checks, in order, and why.
#ifndef SCRIPT_MENU_BRIDGE_CALL_LEFTOVERS_H_
#define SCRIPT_MENU_BRIDGE_CALL_LEFTOVERS_H_

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Before the interpreter starts: reaps the children that have ended, takes away a fault guard a
// call before left in place, and notes the open descriptors (and, at the image's first call, its
// memory).
void NoteProcessBeforeCall();

// With the interpreter still running, just before its shut-down: whether the call imported a
// module of StandardModulesThatCannotRestart().
bool StandardModuleThatCannotRestartImported();

// Just before the shut-down: until the call is over (and, if threads remain, until the fresh
// image), a thread other than the calling one that faults waits, rather than end the process.
void GuardAgainstFaultsOfOtherThreads();

// After the shut-down, with the standard streams given back: notes whether the call left a thread
// running, an extension module loaded that does not survive a restart (the argument tells of the
// standard ones it imported), a descriptor that it opened close-on-exec, or the process grown past
// its bound; reaps the children that have ended.
void NoteProcessAfterCall(bool standard_module_that_cannot_restart_imported);

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
