// FileSizeSignalGuard: the default action of SIGXFSZ is replaced while a
// guard lives and put back afterwards; a handler already there is kept.

#include "file_size_signal.h"

#include <gtest/gtest.h>
#include <signal.h>

namespace quillon_test {
namespace {

void OwnHandler(int) {}

sighandler_t Current() {
  struct sigaction now;
  sigaction(SIGXFSZ, nullptr, &now);
  return now.sa_handler;
}

TEST(FileSizeSignalGuardTest, ReplacesOnlyTheDefault) {
  struct sigaction saved;
  ASSERT_EQ(0, sigaction(SIGXFSZ, nullptr, &saved));
  signal(SIGXFSZ, SIG_DFL);  // replaced and put back: the trace object's test
  {
    FileSizeSignalGuard guard;
    EXPECT_NE(SIG_IGN, Current());  // SIG_IGN would be inherited across exec
  }

  signal(SIGXFSZ, OwnHandler);
  {
    FileSizeSignalGuard guard;
    EXPECT_EQ(&OwnHandler, Current());
  }
  EXPECT_EQ(&OwnHandler, Current());
  sigaction(SIGXFSZ, &saved, nullptr);
}

}  // namespace
}  // namespace quillon_test
