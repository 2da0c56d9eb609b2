// The trace object: Init, the level gate, the entry header, the ungated
// entry points, descriptor placement, threads and the lock.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cdebug.h"
#include "critical_section.h"
#include "test_util.h"

namespace quillon_test {
namespace {

class CDebugTest : public TraceTest {};

TEST_F(CDebugTest, LevelGate) {
  WriteRingConfig("2", 1, 1);
  CDebug trace("Quillon", cfg_.c_str(), nullptr);
  ASSERT_EQ(2u, trace.GetTarget());
  trace.Print(3, "gate-three");
  trace.Print(2, "gate-two");
  trace.Print(0, "gate-zero");
  trace.Print(1, nullptr);
  trace.ForceMaxDebug(false);
  EXPECT_FALSE(trace.IsEnabled());
  trace.Print(1, "gate-off");
  trace.ForceMaxDebug(true);
  trace.Print(1, "gate-restored");
  const std::string ring = ReadFile(RingPath());
  EXPECT_EQ(0u, Count(ring, "gate-three") + Count(ring, "gate-off"));
  EXPECT_EQ(3u, Count(ring, "gate-two\n") + Count(ring, "gate-zero\n") +
                    Count(ring, "gate-restored\n"));
  EXPECT_EQ(0u, Count(ReadFile(LogPath()), "gate-"));
}

TEST_F(CDebugTest, InitOutcomes) {
  CDebug idle;
  idle.PrintAlways("nothing");  // before Init: no effect
  EXPECT_FALSE(idle.Init(nullptr));

  // Level 0: Init succeeds, tracing off, only "always" entries are logged.
  WriteRingConfig("0", 1, 1);
  idle.SetConfigDirectory(cfg_.c_str());
  ASSERT_TRUE(idle.Init("Quillon"));
  EXPECT_FALSE(idle.IsEnabled());
  EXPECT_EQ(0u, idle.GetTarget());
  EXPECT_FALSE(Exists(RingPath()));
  idle.Print(0, "gated");
  idle.PrintAlways(9, "always %s", "one");
  EXPECT_EQ(0u, Count(ReadFile(LogPath()), "gated"));
  EXPECT_EQ(1u, Count(ReadFile(LogPath()), "always one\n"));

  // A ring buffer that cannot be set up switches tracing off and says why
  // in the log file.
  WriteRingConfig("1", 1, 1);
  ASSERT_EQ(0, mkdir(RingPath().c_str(), 0700));
  CDebug failing("Quillon", cfg_.c_str(), nullptr);
  EXPECT_FALSE(failing.IsEnabled());
  EXPECT_EQ(0u, failing.GetTarget() + failing.GetLevel());
  EXPECT_EQ(1u, Count(ReadFile(LogPath()),
                      "### InitRingBuffer(): open of " + RingPath() + " failed (errno="));
}

void ClientPrint(CDebug& trace, bool always, const char* module, const char* format, ...) {
  va_list args;
  va_start(args, format);
  always ? trace.PrintAlwaysV(format, args, module) : trace.ClientPrintV(format, args, module);
  va_end(args);
}

TEST_F(CDebugTest, EntryHeaderAndModules) {
  CDebug plain;
  plain.SetName("Quillon");
  char header[128];
  ASSERT_EQ(49, plain.SetEntryHeader(header, sizeof(header), nullptr));  // layout: see the files
  EXPECT_EQ(127, plain.SetEntryHeader(header, sizeof(header), std::string(200, 'm').c_str()));

  // The memory figure is on unless configured off.
  WriteAppConfig("FileDebugLevel = 1\nRingBufferSizeFactor = 1\nRingBufferSizeWeight = 1\n");
  CDebug trace("Quillon", cfg_.c_str(), nullptr);
  ASSERT_EQ(2u, trace.GetTarget());
  trace.PrintAlways("always-both");
  ClientPrint(trace, true, "Module", "always-module");
  ClientPrint(trace, false, "Client", "client-ring");
  trace.SetTarget(TRACE_TARGET_LOGFILE);
  ClientPrint(trace, false, "Client", "client-log");
  const std::string ring = ReadFile(RingPath()), log = ReadFile(LogPath());
  std::smatch match;
  ASSERT_TRUE(std::regex_search(log, match,
                                std::regex("\\] ( *(\\d+)) KB !Quillon       always-both\n")));
  EXPECT_EQ(8, match[1].length());
  EXPECT_GT(std::stoul(match[2]), 0u);
  EXPECT_EQ(1u, Count(ring, "!Quillon       always-both\n"));
  EXPECT_EQ(1u, Count(ring, "!Module        always-module\n"));
  EXPECT_EQ(1u, Count(log, "!Module        always-module\n"));
  EXPECT_EQ(1u, Count(ring, "!Client        client-ring\n"));
  EXPECT_EQ(1u, Count(log, "!Client        client-log\n"));
  EXPECT_EQ(0u, Count(log, "client-ring") + Count(ring, "client-log"));
}

// The trace files lie above 255, close-on-exec, and keep working after the
// program closes descriptors 0 to 255; system-log messages (the log file
// cannot be opened) keep no connection open.
TEST_F(CDebugTest, Descriptors) {
  WriteRingConfig("1", 1, 1);
  CDebug trace("Quillon", cfg_.c_str(), nullptr);
  for (int fd : {trace.GetLogFileDescriptor(), trace.GetRingBufferDescriptor()}) {
    EXPECT_GE(fd, 256);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  }
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (int fd = 0; fd <= 255; ++fd) close(fd);
    trace.Print(1, "after-close ring");
    trace.PrintAlways("after-close log");
    _exit(0);
  }
  ASSERT_EQ(child, waitpid(child, nullptr, 0));
  EXPECT_EQ(1u, Count(ReadFile(RingPath()), "after-close ring\n"));
  EXPECT_EQ(1u, Count(ReadFile(LogPath()), "after-close log\n"));

  auto sockets = [] {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd) {
      char target[64] = "";
      std::string link = "/proc/self/fd/" + std::to_string(fd);
      if (readlink(link.c_str(), target, sizeof(target) - 1) > 0)
        n += std::string(target).rfind("socket:", 0) == 0;
    }
    return n;
  };
  WriteAppConfig("FileDebugLevel = 1\n");
  std::filesystem::remove_all(trace_);
  const int before = sockets();
  CDebug unlogged("Quillon", cfg_.c_str(), nullptr);
  EXPECT_EQ(-1, unlogged.GetLogFileDescriptor());
  EXPECT_EQ(before, sockets());
}

TEST_F(CDebugTest, ThreadsShareTheRing) {
  WriteRingConfig("1", 1, 1);
  CDebug trace("Quillon", cfg_.c_str(), nullptr);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&trace, t] {
      for (int i = 0; i < 200; ++i) trace.Print(1, "thread %d entry %03d", t, i);
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::string ring = ReadFile(RingPath());
  for (int n = 0; n < 800; ++n) {
    char text[64];
    snprintf(text, sizeof(text), "Quillon       thread %d entry %03d\n", n / 200, n % 200);
    ASSERT_EQ(1u, Count(ring, text)) << text;
  }
}

TEST(CCriticalSectionTest, RecursionAndRelease) {
  CCriticalSection lock;
  ASSERT_TRUE(lock.IsValid());
  lock.Enter();
  lock.Enter();
  std::atomic<bool> acquired(false);
  std::thread other([&] {
    lock.Enter();
    acquired = true;
    lock.Leave();
  });
  lock.Leave();
  EXPECT_FALSE(acquired);  // still held once
  lock.Leave();
  other.join();
  EXPECT_TRUE(acquired);
  // A region left by an exception releases the lock whatever its depth.
  EXPECT_THROW({
    CCriticalSectionGuard outer(lock);
    CCriticalSectionGuard inner(lock);
    throw std::runtime_error("unwind");
  }, std::runtime_error);
  EXPECT_EQ(0, lock.GetLockCount());
  std::thread([&] {
    lock.Enter();
    lock.Leave();
  }).join();
}

}  // namespace
}  // namespace quillon_test
