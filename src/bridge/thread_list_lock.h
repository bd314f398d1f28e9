// The lock that CPython holds while it changes an interpreter's list of thread states.
#ifndef SCRIPT_MENU_BRIDGE_THREAD_LIST_LOCK_H_
#define SCRIPT_MENU_BRIDGE_THREAD_LIST_LOCK_H_

#ifdef __cplusplus
extern "C" {
#endif

// Taken and given back around a walk of the running interpreter's thread states, with the
// interpreter lock held. Nothing in between may ask for the interpreter lock or run Python.
// Where the release keeps the lock out of reach (3.6, and releases after 3.14), these do nothing.
void LockThreadList(void);
void UnlockThreadList(void);

#ifdef __cplusplus
}
#endif

#endif  // SCRIPT_MENU_BRIDGE_THREAD_LIST_LOCK_H_
