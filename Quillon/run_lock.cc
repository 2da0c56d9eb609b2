#include "run_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "safe_file.h"

bool AnotherRunHoldsPackage(const char* argFileName) {
  // O_NONBLOCK: a FIFO named as the argument file must not block here; the
  // opening of the argument file refuses it right after.
  struct stat info;
  int fd = OpenRegularFile(argFileName, O_RDONLY, &info);
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
