// "Another user" for the tests that play an attacker beside a root run: a
// forked child that drops to uid and gid 65534 (no account is needed) and
// keeps no supplementary group. The tests run as root.

#ifndef TESTS_ANOTHER_USER_H_
#define TESTS_ANOTHER_USER_H_

#include <errno.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace quillon_test {

const uid_t kAnotherUser = 65534;

// Starts `body` in a child as the other user; the child exits with what
// `body` returns (126 when the user cannot be taken on).
inline pid_t StartAsAnotherUser(const std::function<int()>& body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (setgroups(0, nullptr) != 0 ||
      setresgid(kAnotherUser, kAnotherUser, kAnotherUser) != 0 ||
      setresuid(kAnotherUser, kAnotherUser, kAnotherUser) != 0)
    _exit(126);
  _exit(body());
}

// Waits for a child started above; its exit status, or 128 + the signal.
inline int WaitForChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs `body` as the other user and returns the child's exit status.
inline int AsAnotherUser(const std::function<int()>& body) {
  return WaitForChild(StartAsAnotherUser(body));
}

}  // namespace quillon_test

#endif  // TESTS_ANOTHER_USER_H_
