#include "run_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

bool AnotherRunHoldsPackage(const char* argFileName) {
  int fd = open(argFileName, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  int rc;
  do {
    rc = flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return false;  // fd stays open until exit: it holds the lock
  bool held = (errno == EWOULDBLOCK);
  close(fd);
  return held;
}
