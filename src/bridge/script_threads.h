// The threads a script leaves running when its interpreter shuts down.
//
// Once the shut-down has begun, such a thread can no longer run Python: up to 3.13 it ends as
// soon as it next asks for the interpreter lock, and from 3.14 on it is parked there for good.
// Until then it may still touch memory of the interpreter, which the next one reuses: one that
// wakes in a later interpreter crashes the program. So every thread that has a thread state (that
// has run Python, or is about to) is noted at the end of each call, and the next interpreter
// starts only once each of them has ended or, from 3.14 on, been parked. Threads that never ran
// Python (an extension module's own) have no thread state and are not waited for.
#ifndef SCRIPT_MENU_BRIDGE_SCRIPT_THREADS_H_
#define SCRIPT_MENU_BRIDGE_SCRIPT_THREADS_H_

#include <chrono>

// How long a noted thread gets to end or be parked, from when it was last noted. A busy thread
// ends at once and one that polls when its sleep is over: a second covers any polling loop a
// person would write, and is short enough that a thread which never ends does not make the
// program look hung.
constexpr std::chrono::milliseconds kThreadEndBound{1000};

// Has the running interpreter note its threads again from an exit function. Exit functions run
// during the shut-down, after it has waited for the script's non-daemon threads (or been
// interrupted at it), and see the threads started meanwhile.
void NoteScriptThreadsAtExit();

// Once the call has ended: a thread that the shut-down will not wait for (a daemon thread, or one
// started by _thread), which asks for a new thread, is ended there instead, quietly, as the
// shut-down would end it a moment later; from the exit functions on, so is any thread that asks.
void EndThreadsThatStartThreads();

// Notes every thread besides the calling one that has a thread state in the running interpreter.
void NoteScriptThreads();

// Once the interpreter has shut down: waits until every noted thread has ended or been parked. If
// one has done neither within kThreadEndBound of its note, says so on standard error and ends the
// program with a failure status, since no interpreter may start while it runs. Ctrl-C meanwhile
// ends the program as at the prompt, after saying what it interrupted.
void AwaitScriptThreads();

#endif  // SCRIPT_MENU_BRIDGE_SCRIPT_THREADS_H_
