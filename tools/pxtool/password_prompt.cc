#include "password_prompt.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

namespace pxtool {

namespace {

const size_t kMaxPassword = 4095;
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
const size_t kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);

// What the signal handlers restore while the prompt waits: the terminal, its
// settings, and the prompt's (echo off). A handler reaches nothing but
// static state.
volatile sig_atomic_t gTerminal = -1;
struct termios gSaved, gQuiet;
const char* gPrompt = "";

// Installed with SA_RESETHAND: the signal raised again is delivered with
// its default action as soon as the handler returns.
void RestoreTerminalAndRaise(int signal) {
  int saved = errno;
  if (gTerminal >= 0) {
    tcsetattr(gTerminal, TCSANOW, &gSaved);
    if (write(gTerminal, "\n", 1) < 0) {
    }
  }
  errno = saved;
  raise(signal);
}

// Ctrl-Z: the terminal gets its settings back while the process is
// stopped, and its echo is turned off again, the prompt shown anew, when
// the process goes on. The line typed so far was dropped by the terminal.
void RestoreTerminalAndStop(int signal) {
  int saved = errno;
  if (gTerminal >= 0) tcsetattr(gTerminal, TCSANOW, &gSaved);
  struct sigaction stop = {}, ours;
  stop.sa_handler = SIG_DFL;
  sigaction(signal, &stop, &ours);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  // Pending while the handler blocks it; the process stops at the unblock
  // (unless its process group is orphaned: then it goes on at once).
  raise(signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  sigaction(signal, &ours, nullptr);
  if (gTerminal >= 0) {
    tcsetattr(gTerminal, TCSANOW, &gQuiet);
    if (write(gTerminal, gPrompt, strlen(gPrompt)) < 0) {
    }
  }
  errno = saved;
}

}  // namespace

PromptResult ReadPasswordFromTerminal(const char* prompt, std::string* password,
                                      std::string* why) {
  if (!isatty(STDIN_FILENO)) return PromptResult::kNoTerminal;
  int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return PromptResult::kNoTerminal;
  struct termios saved;
  if (tcgetattr(fd, &saved) != 0) {
    close(fd);
    return PromptResult::kNoTerminal;
  }
  gSaved = gQuiet = saved;
  gQuiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  gPrompt = prompt;
  gTerminal = fd;
  struct sigaction restore = {}, before[kSignalCount];
  sigemptyset(&restore.sa_mask);
  for (size_t i = 0; i < kSignalCount; ++i) {
    const bool stops = kSignals[i] == SIGTSTP;
    restore.sa_handler = stops ? RestoreTerminalAndStop : RestoreTerminalAndRaise;
    restore.sa_flags = stops ? 0 : SA_RESETHAND;
    sigaction(kSignals[i], nullptr, &before[i]);
    if (before[i].sa_handler != SIG_IGN) sigaction(kSignals[i], &restore, nullptr);
  }

  PromptResult result = PromptResult::kRead;
  // TCSAFLUSH: what was typed before the prompt is not taken for the answer.
  if (tcsetattr(fd, TCSAFLUSH, &gQuiet) != 0 || write(fd, prompt, strlen(prompt)) < 0) {
    *why = std::string("the terminal: ") + strerror(errno);
    result = PromptResult::kFailed;
  }
  password->clear();
  for (char c; result == PromptResult::kRead;) {
    ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = std::string("the terminal: ") + strerror(errno);
      result = PromptResult::kFailed;
    }
    if (n <= 0 || c == '\n') break;
    if (password->size() < kMaxPassword) password->push_back(c);
  }
  // The line feed typed was not echoed.
  tcsetattr(fd, TCSANOW, &saved);
  if (write(fd, "\n", 1) < 0) {
  }
  gTerminal = -1;
  for (size_t i = 0; i < kSignalCount; ++i)
    if (before[i].sa_handler != SIG_IGN) sigaction(kSignals[i], &before[i], nullptr);
  close(fd);
  return result;
}

}  // namespace pxtool
