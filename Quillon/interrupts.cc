#include "interrupts.h"

#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>

namespace {

volatile sig_atomic_t g_signal = 0;
volatile sig_atomic_t g_count = 0;
volatile sig_atomic_t g_group = 0;
bool g_installed = false;

void OnStop(int sig) {
  int saved = errno;
  pid_t group = static_cast<pid_t>(g_group);
  if (g_count < 1000) g_count = g_count + 1;
  if (g_signal == 0) {
    g_signal = sig;
    if (group > 0) kill(-group, sig);
  } else if (group > 0) {
    kill(-group, SIGKILL);
  }
  errno = saved;
}

// SIGXFSZ and SIGPIPE: the write fails with EFBIG or EPIPE instead.
void DoNothing(int) {}

// The stopping signals; and every signal a handler of this process may be
// installed for (the trace's file-size guard included): ResetHandledSignals
// resets them all.
const int kStoppingSignals[] = {SIGTERM, SIGINT, SIGHUP};
const int kHandledSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGXFSZ, SIGPIPE};

void Install(int sig, void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking wait returns with EINTR and looks again.
  sigaction(sig, &action, nullptr);
}

sigset_t StoppingSignals() {
  sigset_t stopping;
  sigemptyset(&stopping);
  for (int sig : kStoppingSignals) sigaddset(&stopping, sig);
  return stopping;
}

void SleepMilliseconds(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

}  // namespace

void InstallRunSignalHandlers() {
  if (g_installed) return;
  g_installed = true;
  for (int sig : kStoppingSignals) Install(sig, OnStop);
  Install(SIGXFSZ, DoNothing);
  KeepRunningOnBrokenPipe();
  prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

void KeepRunningOnBrokenPipe() { Install(SIGPIPE, DoNothing); }

void ResetHandledSignals() {
  struct sigaction byDefault = {};
  byDefault.sa_handler = SIG_DFL;
  for (int sig : kHandledSignals) sigaction(sig, &byDefault, nullptr);
}

int InterruptSignal() { return static_cast<int>(g_signal); }

int InterruptCount() { return static_cast<int>(g_count); }

void SetRunningGroup(pid_t group) { g_group = group; }

StopSignalsHeld::StopSignalsHeld() {
  sigset_t stopping = StoppingSignals();
  sigprocmask(SIG_BLOCK, &stopping, &previous_);
}

StopSignalsHeld::~StopSignalsHeld() { Release(); }

void StopSignalsHeld::Release() {
  sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

int StopSignalsHeld::Received() {
  sigset_t pending;
  sigpending(&pending);
  for (int sig : kStoppingSignals) {
    if (sigismember(&pending, sig) != 1 || sigismember(&previous_, sig) == 1)
      continue;
    // Let it through to its handler, which records it, and hold again.
    sigset_t stopping = StoppingSignals();
    sigprocmask(SIG_SETMASK, &previous_, nullptr);
    sigprocmask(SIG_BLOCK, &stopping, nullptr);
    break;
  }
  return InterruptSignal();
}

bool WaitForGroupToEnd(pid_t group) {
  if (group <= 0) return true;
  const long kStepMs = 20;
  const long kGraceSteps = kGraceSeconds * 1000L / kStepMs;
  const long kGiveUpSteps = kGraceSteps + 5000L / kStepMs;
  for (long step = 0;; ++step) {
    while (waitpid(-group, nullptr, WNOHANG) > 0) {
    }
    if (kill(-group, 0) != 0 && errno == ESRCH) return true;
    if (step == kGraceSteps) kill(-group, SIGKILL);
    if (step >= kGiveUpSteps) return false;
    SleepMilliseconds(kStepMs);
  }
}

