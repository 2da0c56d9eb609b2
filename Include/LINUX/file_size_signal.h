// Keeping SIGXFSZ from killing the process while it writes a file.
//
// A write that would take a file past the file-size limit (ulimit -f,
// RLIMIT_FSIZE) raises SIGXFSZ, whose default action ends the process. A
// FileSizeSignalGuard makes such a write fail with EFBIG instead, for as
// long as the guard lives: when the disposition is the default, it installs
// a handler that does nothing and puts the default back on destruction. A
// handler that someone else installed, or SIG_IGN, is left as it is. The
// guard never sets SIG_IGN itself: an ignored signal stays ignored in
// programs started meanwhile, a caught one returns to its default there.
//
// The disposition is process-wide. Guards must not overlap in different
// threads (the first to end would put the default back under the other);
// the trace object creates them only under its lock.

#ifndef INCLUDE_LINUX_FILE_SIZE_SIGNAL_H_
#define INCLUDE_LINUX_FILE_SIZE_SIGNAL_H_

#include <signal.h>

class FileSizeSignalGuard {
 public:
  FileSizeSignalGuard();
  ~FileSizeSignalGuard();

  FileSizeSignalGuard(const FileSizeSignalGuard&) = delete;
  FileSizeSignalGuard& operator=(const FileSizeSignalGuard&) = delete;

 private:
  bool m_Installed;           // our handler is in place
  struct sigaction m_Saved;   // the disposition found
};

#endif  // INCLUDE_LINUX_FILE_SIZE_SIGNAL_H_
