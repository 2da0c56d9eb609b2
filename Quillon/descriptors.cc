#include "descriptors.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

const int kFirstPrivateDescriptor = 256;

// Descriptors from 256 up that the caller handed over would reach every
// command; those of the trace object (opened before main, above 255) are
// close-on-exec already. Marks them all close-on-exec rather than closing
// them, so that the trace keeps its files.
void MarkHighDescriptorsCloseOnExec() {
#ifdef CLOSE_RANGE_CLOEXEC
  if (close_range(kFirstPrivateDescriptor, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
    return;
#endif
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  while (struct dirent* entry = readdir(dir)) {
    int fd = atoi(entry->d_name);
    if (fd >= kFirstPrivateDescriptor && fd != dirfd(dir)) {
      int flags = fcntl(fd, F_GETFD);
      if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
  }
  closedir(dir);
}

}  // namespace

int CloseInheritedDescriptors(bool keepStdout, FILE** debugOutput) {
  *debugOutput = nullptr;
  fflush(stdout);
  int saved = -1;
  if (keepStdout) saved = fcntl(1, F_DUPFD_CLOEXEC, kFirstPrivateDescriptor);
  for (int fd = 0; fd <= 255; ++fd) close(fd);
  // open() returns the lowest free descriptor: 0; 1 and 2 are copies.
  int error = 0;
  if (open("/dev/null", O_RDWR) != 0 || dup2(0, 1) != 1 || dup2(0, 2) != 2)
    error = errno ? errno : EBADF;
  MarkHighDescriptorsCloseOnExec();
  if (saved >= 0) {
    *debugOutput = fdopen(saved, "w");
    if (*debugOutput == nullptr) close(saved);
  }
  return error;
}
