#include "descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <stdlib.h>
#include <unistd.h>

#include "report.h"

namespace {

FILE* g_debugOutput = nullptr;  // null: still the process's stdout

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

FILE* DebugOutput() { return g_debugOutput ? g_debugOutput : stdout; }

void CloseInheritedDescriptors(bool keepStdout) {
  fflush(stdout);
  int saved = -1;
  if (keepStdout) saved = fcntl(1, F_DUPFD_CLOEXEC, kFirstPrivateDescriptor);
  for (int fd = 0; fd <= 255; ++fd) close(fd);
  // open() returns the lowest free descriptor: 0, then 1, then 2.
  for (int fd = 0; fd <= 2; ++fd) {
    if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) break;
  }
  MarkHighDescriptorsCloseOnExec();
  if (saved >= 0) {
    g_debugOutput = fdopen(saved, "w");
    if (g_debugOutput == nullptr) close(saved);
  }
}
