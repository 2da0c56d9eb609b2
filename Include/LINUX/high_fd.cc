#include "high_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

int MoveFdHigh(int fd) {
  if (fd < 0) {
    errno = EBADF;
    return -1;
  }
  int high = fcntl(fd, F_DUPFD_CLOEXEC, kFirstHighFd);
  int saved = errno;
  close(fd);
  errno = saved;
  return high;
}
