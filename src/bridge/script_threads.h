// What a call does, before its interpreter shuts down, about the threads the script started.
//
// Threads left running after the shut-down end with their process (see hand_over.h). What is done
// here keeps the shut-down itself safe and honest:
// - A thread that asks for a new one once the call has ended would have it started while the
//   interpreter shuts down, which crashes it on some releases. It is ended instead, as quietly
//   as the shut-down ends it a moment later.
// - A Ctrl-C that cuts short the shut-down's wait for the script's non-daemon threads ends the
//   program, as it ends a python3 process.
//
// What this rests on of CPython, in every release from 3.6 on:
// - public interfaces: _thread.start_new_thread, threading.Thread's start, daemon, enumerate and
//   main_thread, atexit.register, and the walk of an interpreter's thread states with their frames
//   (PyInterpreterState_ThreadHead, PyThreadState_Next, PyThreadState_GetFrame);
// - one private function, _thread._count(): the number of threads that _thread started and that
//   have begun to run (thread_run in Modules/_threadmodule.c counts them, t_bootstrap before 3.12);
// - two documented steps of the shut-down (Py_FinalizeEx): it first waits for the non-daemon
// threads
//   of threading, then runs the exit functions, the last registered first.
#ifndef SCRIPT_MENU_BRIDGE_SCRIPT_THREADS_H_
#define SCRIPT_MENU_BRIDGE_SCRIPT_THREADS_H_

// Before the module is imported: registers the exit function that runs last, from which on no
// thread may start another, and a thread of a C library's own that calls into Python is held
// (until LetThreadsCallIn).
void RefuseThreadStartsAtExit();

// Once the next interpreter has started: threads that call into Python are let in again.
void LetThreadsCallIn();

// Once the call has ended: a thread that the shut-down will not wait for (a daemon thread, or one
// started by _thread), which asks for a new thread, is ended there instead, quietly.
void EndThreadsThatStartThreads();

// Then: lets threads started a moment ago begin to run, within a bound. One that began only once
// the shut-down had begun would crash it.
void LetNewThreadsRun();

// Just before the shut-down: registers the exit function that runs first, which notes whether a
// non-daemon thread is still running, which the shut-down has waited for unless it was cut short.
void WatchTheShutDownsWait();

// After the shut-down: whether its wait for the script's threads was cut short.
bool ShutDownWaitCutShort();

// After the shut-down: how many threads that _thread started (threading's too) were still running
// their function at the last exit function, or -1 if it did not run (a script cleared them).
long PythonThreadsRunningAtExit();

#endif  // SCRIPT_MENU_BRIDGE_SCRIPT_THREADS_H_
