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
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// What the signal handler restores while the prompt waits: the terminal and
// its settings. A handler reaches nothing but static state.
volatile sig_atomic_t gTerminal = -1;
struct termios gSaved;

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
  gSaved = saved;
  gTerminal = fd;
  struct sigaction restore = {}, before[sizeof(kSignals) / sizeof(kSignals[0])];
  restore.sa_handler = RestoreTerminalAndRaise;
  restore.sa_flags = SA_RESETHAND;
  sigemptyset(&restore.sa_mask);
  for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i) {
    sigaction(kSignals[i], nullptr, &before[i]);
    if (before[i].sa_handler != SIG_IGN) sigaction(kSignals[i], &restore, nullptr);
  }

  PromptResult result = PromptResult::kRead;
  struct termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  // TCSAFLUSH: what was typed before the prompt is not taken for the answer.
  if (tcsetattr(fd, TCSAFLUSH, &quiet) != 0 || write(fd, prompt, strlen(prompt)) < 0) {
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
  for (size_t i = 0; i < sizeof(kSignals) / sizeof(kSignals[0]); ++i)
    if (before[i].sa_handler != SIG_IGN) sigaction(kSignals[i], &before[i], nullptr);
  close(fd);
  return result;
}

}  // namespace pxtool
