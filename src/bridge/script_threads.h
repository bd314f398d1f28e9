// The threads a script leaves running when its interpreter shuts down.
//
// Such a thread ends as soon as it next wants to run Python. One that is still running when the
// next interpreter starts would run in a thread state that no longer exists and crash the program,
// so every thread that has a thread state (that has run Python) is noted before each shut-down and
// waited for after it. Threads that never ran Python (an extension module's own) have none and are
// not waited for.
#ifndef SCRIPT_MENU_BRIDGE_SCRIPT_THREADS_H_
#define SCRIPT_MENU_BRIDGE_SCRIPT_THREADS_H_

#include <chrono>

// How long the threads get to end after the shut-down. A busy thread ends at once and one that
// polls when its sleep is over: a second covers any polling loop a person would write, and is
// short enough that a thread which never ends does not make the program look hung.
constexpr std::chrono::milliseconds kThreadEndBound{1000};

// Has the running interpreter note its threads again from its exit functions. They run during the
// shut-down, after it has waited for the script's non-daemon threads (or been interrupted at it),
// and see the threads started meanwhile.
void NoteScriptThreadsAtExit();

// Notes every thread besides the calling one that has a thread state in the running interpreter.
void NoteScriptThreads();

// Once the interpreter has shut down: waits until every noted thread has ended, at most
// kThreadEndBound. If one is still running then, says so on standard error and ends the program
// with a failure status, since no interpreter may start while it runs.
void AwaitScriptThreads();

#endif  // SCRIPT_MENU_BRIDGE_SCRIPT_THREADS_H_
