#include "bridge/hand_over.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>

namespace {

// The signals that a user or another program sends to end or prod a process: sent to the
// supervisor, they are the dialogue's.
constexpr int kPassedOn[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM};

// The faults of a thread that runs on into the interpreter as it shuts down and after (a C
// library's thread that calls back into Python does), and the abort of one that CPython finds
// starting too late in the shut-down. From the shut-down to the hand-over, such a thread is parked
// rather than let end the dialogue's process.
constexpr int kFaults[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// How long such a thread waits at most: a hand-over takes milliseconds; what takes this long is a
// hang, which the thread's fault ends.
constexpr time_t kParkedSeconds = 10;

// In the dialogue's processes: the write end of the pipe on which each hand-over is announced to
// the supervisor, as the process id of the copy that carries on; -1 when not supervised.
int hand_over_channel = -1;
struct stat channel_file = {};  // what it is, to tell it from a file a script put at its number
bool forking_copy = false;      // see ForkingACopy
pid_t supervisor = 0;           // the supervisor's process id
pid_t dialogue_process = 0;     // the process this copy of the dialogue was started as

// Set in a copy of the dialogue's process until its first interpreter has started.
bool copy_starting = false;

pid_t menu_thread = 0;  // the thread that runs the dialogue, while faults are guarded against
struct sigaction unguarded[std::size(kFaults)];  // the faults' actions before the guard

// In the supervisor: the read end of that pipe, and the dialogue's process of the moment, which
// the signal handler reads as well.
int announcements = -1;
volatile std::sig_atomic_t dialogue = 0;

[[noreturn]] void CannotRunDialogue(const char* what) {
  std::fprintf(stderr, "script-menu: cannot %s: %s\n", what, std::strerror(errno));
  std::exit(EXIT_FAILURE);
}

sigset_t PassedOnSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : kPassedOn) {
    sigaddset(&signals, signal);
  }
  return signals;
}

void Pause() {
  const timespec pause = {0, 50L * 1000};
  nanosleep(&pause, nullptr);
}

// The supervisor reads every hand-over announced so far; the last names the dialogue's process.
// Announcements are written before the announcing process ends, so once the supervisor has seen
// a process end, what it announced is here to read. Signal-safe.
void ReadHandOvers() {
  pid_t copy = 0;
  while (read(announcements, &copy, sizeof copy) == static_cast<ssize_t>(sizeof copy)) {
    dialogue = copy;
  }
}

// A signal that the terminal sends (Ctrl-C) reaches the whole process group, the dialogue's
// process included, and has a kernel's code: only a signal sent by a process is passed on.
extern "C" void PassOn(int signal, siginfo_t* info, void* /*context*/) {
  if (info->si_code > 0) {
    return;
  }
  const int saved_errno = errno;
  ReadHandOvers();
  kill(static_cast<pid_t>(dialogue), signal);
  errno = saved_errno;
}

// Ends the supervisor as the dialogue's last process ended: with its exit status, or by the signal
// that ended it (whose core, if any, that process has written already).
[[noreturn]] void EndAs(int status) {
  if (WIFEXITED(status)) {
    std::exit(WEXITSTATUS(status));
  }
  EndBySignal(WTERMSIG(status));
}

// Reaps every child until the dialogue's process of the moment ends. The others are old copies
// that handed over, and whatever a script left behind.
[[noreturn]] void Supervise() {
  const sigset_t passed_on = PassedOnSignals();
  for (;;) {
    int status = 0;
    const pid_t ended = waitpid(-1, &status, 0);
    if (ended < 0 && errno == EINTR) {
      continue;
    }
    if (ended < 0) {
      CannotRunDialogue("wait for the dialogue's process");
    }
    sigset_t before;
    sigprocmask(SIG_BLOCK, &passed_on, &before);  // the handler reads the same pipe
    ReadHandOvers();
    const bool dialogue_ended = ended == dialogue;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (dialogue_ended) {
      EndAs(status);
    }
  }
}

// A dialogue's process dies with its supervisor, so that none goes on unseen should the
// supervisor be killed outright. Checked after, in case the supervisor has gone already.
void DieWithSupervisor() {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != supervisor) {
    _exit(EXIT_FAILURE);
  }
}

// A fault of the menu's own thread is the program's: it ends the process as it would have. Any
// other thread waits here, and ends with the process as the dialogue is handed over; should that
// not come, it faults again, and the process ends as it would have.
extern "C" void ParkFaultingThread(int signal) {
  if (gettid() != menu_thread) {
    const timespec bound = {kParkedSeconds, 0};
    nanosleep(&bound, nullptr);
  }
  std::signal(signal, SIG_DFL);  // the fault recurs as the handler returns
}

// Whether the guard is in place. A start of the interpreter's fault handler, and its end in the
// shut-down, may have put other actions in its place since.
bool Guarded() {
  struct sigaction now = {};
  sigaction(kFaults[0], nullptr, &now);
  return now.sa_handler == ParkFaultingThread;
}

void RemoveFaultGuard() {
  if (Guarded()) {
    for (std::size_t i = 0; i < std::size(kFaults); ++i) {
      sigaction(kFaults[i], &unguarded[i], nullptr);
    }
  }
}

// Points standard output and error at /dev/null, keeping what they were in `kept`.
void SilenceStreams(int kept[2]) {
  const int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
  for (const int stream : {STDOUT_FILENO, STDERR_FILENO}) {
    const int slot = stream - STDOUT_FILENO;
    kept[slot] = fcntl(stream, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (kept[slot] >= 0 && nowhere >= 0) {
      dup2(nowhere, stream);
    }
  }
  if (nowhere >= 0) {
    close(nowhere);
  }
}

void GiveStreamsBack(const int kept[2]) {
  for (const int stream : {STDOUT_FILENO, STDERR_FILENO}) {
    const int slot = stream - STDOUT_FILENO;
    if (kept[slot] >= 0) {
      dup2(kept[slot], stream);
      close(kept[slot]);
    }
  }
}

// What the two destroy functions below do: the C library's own `destroy`, or, in a copy's first
// start, make the variable fresh.
template <typename Variable>
int DestroyOrMakeFresh(Variable* variable, const Variable& fresh, const char* destroy) {
  if (copy_starting) {
    *variable = fresh;
    return 0;
  }
  using Destroy = int (*)(Variable*);
  return reinterpret_cast<Destroy>(dlsym(RTLD_NEXT, destroy))(variable);
}

}  // namespace

void GuardAgainstFaultsOfLeftoverThreads() {
  if (hand_over_channel < 0 || getpid() != dialogue_process || Guarded()) {
    return;
  }
  menu_thread = gettid();
  struct sigaction park = {};
  park.sa_handler = ParkFaultingThread;
  sigemptyset(&park.sa_mask);
  for (std::size_t i = 0; i < std::size(kFaults); ++i) {
    sigaction(kFaults[i], &park, &unguarded[i]);
  }
}

void EndBySignal(int signal) {
  const rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  std::signal(signal, SIG_DFL);
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, signal);
  pthread_sigmask(SIG_UNBLOCK, &ending, nullptr);
  raise(signal);
  _exit(128 + signal);  // a signal whose default is not to end a process
}

void SuperviseDialogue() {
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0) {
    CannotRunDialogue("make the dialogue's channel");
  }
  // Each copy of the dialogue is an orphan once the copy before it has ended: it becomes this
  // process's child, not init's.
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    CannotRunDialogue("supervise the dialogue's process");
  }
  supervisor = getpid();
  const sigset_t passed_on = PassedOnSignals();
  sigset_t before;
  sigprocmask(SIG_BLOCK, &passed_on, &before);  // held until the supervisor passes them on
  const pid_t child = fork();
  if (child < 0) {
    CannotRunDialogue("start the dialogue's process");
  }
  if (child == 0) {
    close(channel[0]);
    hand_over_channel = KeepAwayFromScripts(channel[1]);
    close(channel[1]);
    if (hand_over_channel < 0 || fstat(hand_over_channel, &channel_file) != 0) {
      CannotRunDialogue("make the dialogue's channel");
    }
    dialogue_process = getpid();
    DieWithSupervisor();
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return;
  }

  close(channel[1]);
  announcements = channel[0];
  fcntl(announcements, F_SETFL, fcntl(announcements, F_GETFL) | O_NONBLOCK);
  dialogue = child;
  struct sigaction pass_on = {};
  pass_on.sa_sigaction = PassOn;
  pass_on.sa_flags = SA_SIGINFO | SA_RESTART;
  sigfillset(&pass_on.sa_mask);
  for (const int signal : kPassedOn) {
    sigaction(signal, &pass_on, nullptr);
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
  Supervise();
}

int ThreadsOfThisProcess() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) {
    return -1;
  }
  int threads = 0;
  while (const dirent* entry = readdir(tasks)) {
    threads += entry->d_name[0] != '.' ? 1 : 0;
  }
  closedir(tasks);
  return threads;
}

void CopyHasStarted() { copy_starting = false; }

// A copy of the dialogue's process has only the menu's thread, but the old process's memory, where
// a leftover thread may have been waiting on a condition variable, or holding a mutex, of the
// interpreter's own. 3.6 to 3.8 keep their interpreter lock's from one interpreter to the next and
// destroy them as the next starts: that would wait for good for waiters the copy does not have, or
// fail on a lock nobody will release. Until the copy's first interpreter has started, a destroyed
// one is made fresh instead: in a process of one thread, nobody waits on it or holds it.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the parameter is named as the C library declares it
extern "C" int pthread_cond_destroy(pthread_cond_t* __cond) {
  static const pthread_cond_t fresh = PTHREAD_COND_INITIALIZER;
  return DestroyOrMakeFresh(__cond, fresh, "pthread_cond_destroy");
}

extern "C" int pthread_mutex_destroy(pthread_mutex_t* mutex) {
  static const pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
  return DestroyOrMakeFresh(mutex, fresh, "pthread_mutex_destroy");
}

int KeepAwayFromScripts(int descriptor) {
  constexpr int kFrom = 100;
  const int kept = fcntl(descriptor, F_DUPFD_CLOEXEC, kFrom);
  if (kept < 0 && errno == EINVAL) {  // the process may not have that many
    return fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  }
  return kept;
}

bool ForkingACopy() { return forking_copy; }

void HandOverIfThreadsRemain() {
  if (hand_over_channel < 0 || getpid() != dialogue_process) {
    return;
  }
  GuardAgainstFaultsOfLeftoverThreads();
  // Asked at once, with no wait for threads to end by themselves: a C library's thread that calls
  // back into Python could crash the process meanwhile, and a poller costs more than a hand-over.
  // Where the kernel cannot tell, any thread may remain.
  if (ThreadsOfThisProcess() == 1) {
    RemoveFaultGuard();
    return;
  }
  // A script that closed descriptors by number took the channel too: the supervisor could not
  // learn of a copy, and would end the program with this process. The threads stay here instead.
  struct stat channel_now = {};
  if (fstat(hand_over_channel, &channel_now) != 0 || channel_now.st_ino != channel_file.st_ino ||
      channel_now.st_dev != channel_file.st_dev) {
    std::fprintf(stderr,
                 "script-menu: a script closed the program's channel to its supervisor: the "
                 "threads it leaves run on\n");
    hand_over_channel = -1;
    RemoveFaultGuard();
    return;
  }
  // From here on the old process's threads are as good as ended, as at a python3 process's exit:
  // what they still write goes nowhere, and the copy gets the streams back.
  int kept[2] = {-1, -1};
  SilenceStreams(kept);
  // Signals sent meanwhile wait, and the copy gets them: see below.
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  const pid_t old_process = getpid();
  forking_copy = true;
  const pid_t copy = fork();
  forking_copy = false;
  if (copy < 0) {
    GiveStreamsBack(kept);
    CannotRunDialogue("hand the dialogue over to a copy of its process");
  }
  if (copy == 0) {
    // Only this thread is copied. The old process ends at once: carry on once it has, as the
    // supervisor's child.
    dialogue_process = getpid();
    copy_starting = true;
    GiveStreamsBack(kept);
    while (getppid() == old_process) {
      Pause();
    }
    DieWithSupervisor();
    RemoveFaultGuard();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return;
  }
  (void)!write(hand_over_channel, &copy, sizeof copy);
  // A signal that reached this process while the supervisor still named it is the copy's.
  sigset_t pending;
  sigpending(&pending);
  for (const int signal : kPassedOn) {
    if (sigismember(&pending, signal) != 0) {
      kill(copy, signal);
    }
  }
  _exit(EXIT_SUCCESS);  // the leftover threads end here, and nothing is flushed twice
}
