// A C library with a thread of its own that calls back into the caller, as device SDKs, audio
// libraries and file watchers do: the thread has a Python thread state only while in the callback.
#include <pthread.h>
#include <time.h>

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
