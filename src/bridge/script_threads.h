// What a call does about the script's threads around its interpreter's shut-down, so that the
// shut-down is safe and honest: doc/design.md has the steps, and what of CPython they rest on.
#ifndef SCRIPT_MENU_BRIDGE_SCRIPT_THREADS_H_
#define SCRIPT_MENU_BRIDGE_SCRIPT_THREADS_H_

// Before the module is imported: registers the exit function that runs last, from which on no
// thread may start another, and a thread of a C library's own that calls into Python is held
// (until LetThreadsCallIn).
void StopThreadsAtLastExitFunction();

// Once the next interpreter has started: threads that call into Python are let in again.
void LetThreadsCallIn();

// Once the call has ended: a thread that the shut-down will not wait for (a daemon thread, or one
// started by _thread), which asks for a new thread, is ended there instead, quietly.
void PutThreadStartStandInsInPlace();

// Then: lets threads started a moment ago begin to run, within a bound. One that began only once
// the shut-down had begun would crash it.
void LetNewThreadsRun();

// Just before the shut-down: registers the exit function that runs first, which notes whether a
// non-daemon thread is still running, which the shut-down has waited for unless it was cut short.
void NoteCutShortWaitAtFirstExitFunction();

// After the shut-down: whether its wait for the script's threads was cut short.
bool ShutDownWaitCutShort();

// After the shut-down: how many threads that _thread started (threading's too) were still running
// their function at the last exit function, or -1 if it did not run (a script cleared them).
long PythonThreadsRunningAtExit();

#endif  // SCRIPT_MENU_BRIDGE_SCRIPT_THREADS_H_
