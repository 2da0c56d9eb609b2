#include "file_size_signal.h"

namespace {

void IgnoreFileSizeSignal(int) {}

}  // namespace

FileSizeSignalGuard::FileSizeSignalGuard() : m_Installed(false), m_Saved() {
  if (sigaction(SIGXFSZ, nullptr, &m_Saved) != 0) return;
  if ((m_Saved.sa_flags & SA_SIGINFO) != 0 || m_Saved.sa_handler != SIG_DFL)
    return;
  struct sigaction action = {};
  action.sa_handler = IgnoreFileSizeSignal;
  sigemptyset(&action.sa_mask);
  m_Installed = sigaction(SIGXFSZ, &action, nullptr) == 0;
}

FileSizeSignalGuard::~FileSizeSignalGuard() {
  if (m_Installed) sigaction(SIGXFSZ, &m_Saved, nullptr);
}
