#include "descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include "report.h"

namespace {

FILE* g_debugOutput = nullptr;  // null: still the process's stdout

const int kFirstPrivateDescriptor = 256;

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
  if (saved >= 0) {
    g_debugOutput = fdopen(saved, "w");
    if (g_debugOutput == nullptr) close(saved);
  }
}
