#include "interrupts.h"

#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

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

void Install(int sig, void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking wait returns with EINTR and looks again.
  sigaction(sig, &action, nullptr);
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
  Install(SIGTERM, OnStop);
  Install(SIGINT, OnStop);
  Install(SIGHUP, OnStop);
  Install(SIGXFSZ, DoNothing);
  KeepRunningOnBrokenPipe();
  prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

void KeepRunningOnBrokenPipe() { Install(SIGPIPE, DoNothing); }

int InterruptSignal() { return static_cast<int>(g_signal); }

int InterruptCount() { return static_cast<int>(g_count); }

void SetRunningGroup(pid_t group) { g_group = group; }

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

