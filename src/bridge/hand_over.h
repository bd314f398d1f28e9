// Threads that a script leaves behind end with the process that holds them, as they end when a
// python3 process exits. A call that leaves any thread running hands the dialogue over to a copy
// of the process (fork), which has only the menu's thread, and the old process ends at once.
//
// So that the shell still sees one program with one exit status, the program's first process never
// starts an interpreter: it supervises the process that runs the dialogue, learns of each
// hand-over through a pipe, passes on the signals sent to it, and ends as the dialogue ends.
#ifndef SCRIPT_MENU_BRIDGE_HAND_OVER_H_
#define SCRIPT_MENU_BRIDGE_HAND_OVER_H_

// Starts the process that runs the dialogue, and returns in it. The calling process supervises
// that one and every copy of it: it never returns, and ends as the last copy ends, with its exit
// status or by the signal that ended it. SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2 and
// SIGALRM sent to it are passed on to the dialogue's process of the moment. Processes that a
// script leaves behind are reaped, never waited for.
void SuperviseDialogue();

// Just before a call's interpreter shuts down: until HandOverIfThreadsRemain, a thread other than
// the calling one that faults (a C library's thread calling back into the interpreter as it shuts
// down) waits, rather than end the dialogue's process.
void GuardAgainstFaultsOfLeftoverThreads();

// Ends this process by `signal`, as its default action does, and with no core of its own.
[[noreturn]] void EndBySignal(int signal);

// Once a call's interpreter has shut down: if any thread besides the calling one is left, hands
// the dialogue over to a copy of this process and returns in the copy. A process that is not the
// supervised dialogue's (a test that calls the bridge itself, a child a script forked) keeps its
// threads and goes on.
void HandOverIfThreadsRemain();

// A close-on-exec duplicate of `descriptor` at 100 or above, away from the numbers a script opens
// and closes by number (or the lowest free one above the standard streams where the process may
// not have that many); -1 if there is none.
int KeepAwayFromScripts(int descriptor);

// True in the child of a fork that hands the dialogue over, from the fork until it returns: the
// copy keeps what this process keeps for itself, where a child that a script forks must not.
bool ForkingACopy();

// How many threads the kernel lists for this process; -1 where /proc cannot tell.
int ThreadsOfThisProcess();

// Once the interpreter has started: a copy's first start, which is made with the old process's
// memory, is over.
void CopyHasStarted();

#endif  // SCRIPT_MENU_BRIDGE_HAND_OVER_H_
