// A C library with threads of its own, as device SDKs, audio libraries and file watchers have:
// one that calls back into the caller, with a Python thread state only while in the callback, one
// that calls back once and is joined, and one that faults when it is told to.
#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

typedef void (*Callback)(void);

static void* CallBackForEver(void* callback) {
  // Every 50 ms. (A python3 process whose exit such a thread calls into crashes now and then, as
  // this program's shut-down can: the more often it calls, the more often.)
  const struct timespec period = {0, 50L * 1000 * 1000};
  for (;;) {
    ((Callback)callback)();
    nanosleep(&period, NULL);
  }
  return NULL;
}

// Starts the thread; 0 once it runs.
int StartCallingBack(Callback callback) {
  pthread_t thread;
  return pthread_create(&thread, NULL, CallBackForEver, (void*)callback);
}

static void* CallBackOnce(void* callback) {
  ((Callback)callback)();
  return NULL;
}

// Calls back once from a thread of its own, and returns once that thread has ended; 0 if it ran.
int CallBackFromAThreadAndJoinIt(Callback callback) {
  pthread_t thread;
  if (pthread_create(&thread, NULL, CallBackOnce, (void*)callback) != 0) {
    return -1;
  }
  return pthread_join(thread, NULL);
}

static int fault_told[2] = {-1, -1};
static volatile int* volatile nowhere = NULL;

static void* FaultWhenTold(void* unused) {
  (void)unused;
  char byte = 0;
  if (read(fault_told[0], &byte, 1) == 1) {
    *nowhere = (unsigned char)byte;  // SIGSEGV
  }
  return NULL;
}

// Starts a thread that faults once FaultNow() is called; 0 once it runs.
int StartFaultingThread(void) {
  pthread_t thread;
  if (pipe(fault_told) != 0 || fcntl(fault_told[0], F_SETFD, FD_CLOEXEC) != 0 ||
      fcntl(fault_told[1], F_SETFD, FD_CLOEXEC) != 0) {
    return -1;
  }
  return pthread_create(&thread, NULL, FaultWhenTold, NULL);
}

void FaultNow(void) {
  const char byte = 0;
  (void)!write(fault_told[1], &byte, 1);
}
