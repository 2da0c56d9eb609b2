// The trace object: Init, the level gate, the entry header, the ungated
// entry points, descriptor placement, private files and threads.

#include <signal.h>

#include <functional>
#include <thread>

#include "cdebug.h"
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
  trace.ForceMaxDebug(false);
  trace.Print(1, "gate-off");
  trace.ForceMaxDebug(true);
  trace.Print(1, "gate-restored");
  const std::string ring = ReadFile(RingPath());
  EXPECT_EQ(0u, Count(ring, "gate-three") + Count(ring, "gate-off"));
  EXPECT_EQ(2u, Count(ring, "gate-two\n") + Count(ring, "gate-restored\n"));
  EXPECT_EQ(0u, Count(ReadFile(LogPath()), "gate-"));
}

TEST_F(CDebugTest, InitOutcomes) {
  CDebug idle;
  // Level 0: Init succeeds, tracing off, only "always" entries are logged.
  WriteRingConfig("0", 1, 1);
  idle.SetConfigDirectory(cfg_.c_str());
  ASSERT_TRUE(idle.Init("Quillon"));
  EXPECT_FALSE(idle.IsEnabled() || Exists(RingPath()));
  idle.Print(0, "gated");
  idle.PrintAlways(9, "always %s", "one");
  EXPECT_EQ(0u, Count(ReadFile(LogPath()), "gated"));
  EXPECT_EQ(1u, Count(ReadFile(LogPath()), "always one\n"));

  // A ring that exists is reused silently, its mode as it was (one that
  // cannot be set up: TraceFilesAreOwnPrivateFiles).
  WriteRingConfig("1", 1, 1);
  { CDebug first("Quillon", cfg_.c_str(), nullptr); }
  ASSERT_EQ(0, chmod(RingPath().c_str(), 0640));
  CDebug second("Quillon", cfg_.c_str(), nullptr);
  EXPECT_TRUE(second.IsEnabled());
  EXPECT_EQ(0u, Count(ReadFile(LogPath()), "InitRingBuffer"));
  struct stat st;
  ASSERT_EQ(0, stat(RingPath().c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
}

// "Always" entries go to both files with the module's name; the memory
// figure is on unless configured off.
TEST_F(CDebugTest, EntryHeaderAndModules) {
  WriteAppConfig("FileDebugLevel = 1\nRingBufferSizeFactor = 1\nRingBufferSizeWeight = 1\n");
  CDebug trace("Quillon", cfg_.c_str(), nullptr);
  trace.PrintAlways("always-both");
  const std::string ring = ReadFile(RingPath()), log = ReadFile(LogPath());
  std::smatch match;
  ASSERT_TRUE(std::regex_search(log, match,
                                std::regex("\\] ( *(\\d+)) KB !Quillon       always-both\n")));
  EXPECT_EQ(8, match[1].length());
  EXPECT_GT(std::stoul(match[2]), 0u);
  EXPECT_EQ(1u, Count(ring, "!Quillon       always-both\n"));
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

// A planted link or foreign file is refused (the log file: no log; the
// ring: tracing off, one log line) and neither it nor its target changes.
// Whatever the umask, the log file is made 0600 and the ring 0700.
TEST_F(CDebugTest, TraceFilesAreOwnPrivateFiles) {
  WriteRingConfig("1", 1, 1);
  const std::string victim = root_ + "/victim";
  const std::vector<std::pair<const char*, std::function<bool(const std::string&)>>> plants = {
      {"symbolic link", [&](const std::string& at) { return symlink(victim.c_str(), at.c_str()) == 0; }},
      {"file of another user", [&](const std::string& at) {
         WriteFile(at, "planted\n");
         return chown(at.c_str(), 65534, 65534) == 0;
       }}};
  for (const std::string& file : {LogPath(), RingPath()}) {
    for (const auto& [what, plant] : plants) {
      SCOPED_TRACE(file + " planted as " + what);
      std::filesystem::remove_all(trace_);
      ASSERT_EQ(0, mkdir(trace_.c_str(), 0700));
      WriteFile(victim, "victim\n");
      if (!plant(file)) {
        ASSERT_NE(0u, geteuid());  // chown needs root
        continue;
      }
      const std::string planted = ReadFile(file);
      {
        CDebug trace("Quillon", cfg_.c_str(), nullptr);
        trace.PrintAlways("written");
        if (file == LogPath()) {
          EXPECT_EQ(-1, trace.GetLogFileDescriptor());
        } else {
          EXPECT_FALSE(trace.IsEnabled());
          const std::string log = ReadFile(LogPath());
          EXPECT_EQ(1u, Count(log, "### InitRingBuffer(): open of " + RingPath() + " failed (errno="));
          EXPECT_EQ(1u, Count(log, "InitRingBuffer"));
        }
      }
      EXPECT_EQ("victim\n", ReadFile(victim));
      EXPECT_EQ(planted, ReadFile(file));
    }
  }

  std::filesystem::remove_all(trace_);
  ASSERT_EQ(0, mkdir(trace_.c_str(), 0700));
  const mode_t umask_before = umask(0);
  { CDebug trace("Quillon", cfg_.c_str(), nullptr); }
  umask(umask_before);
  for (const auto& [file, mode] : {std::pair{LogPath(), 0600u}, std::pair{RingPath(), 0700u}}) {
    struct stat st;
    ASSERT_EQ(0, stat(file.c_str(), &st)) << file;
    EXPECT_EQ(mode, st.st_mode & 07777) << file;
  }
}

// Under a file-size limit the trace never dies of SIGXFSZ: the ring that
// cannot be filled is not set up and its file is removed, log entries past
// the limit are lost, and the signal's default action is back afterwards.
TEST_F(CDebugTest, FileSizeLimitDoesNotKill) {
  WriteRingConfig("1", 1, 1);
  SetEnv("QZ_LOG_FILE_MAX_SIZE", "10000000");
  const rlim_t kLimit = 65536;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct rlimit limit = {kLimit, kLimit};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
    {
      CDebug trace("Quillon", cfg_.c_str(), nullptr);
      if (trace.GetTarget() != 0 || Exists(RingPath())) _exit(11);
      for (int i = 0; i < 100; ++i) trace.PrintAlways("%s", std::string(1000, 'x').c_str());
    }
    struct sigaction now;
    if (sigaction(SIGXFSZ, nullptr, &now) != 0 || now.sa_handler != SIG_DFL) _exit(12);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(0, WEXITSTATUS(status));
  const std::string log = ReadFile(LogPath());
  EXPECT_LE(log.size(), kLimit);
  EXPECT_EQ(1u, Count(log, "### InitRingBuffer(): (2) write m_InternalDebugBuffer to " +
                               RingPath() + " failed ###"));
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
  // Every entry whole on a line of its own.
  const std::string ring = ReadFile(RingPath());
  const std::regex whole("Quillon       thread [0-3] entry [0-9]{3}\n");
  EXPECT_EQ(800, std::distance(std::sregex_iterator(ring.begin(), ring.end(), whole),
                               std::sregex_iterator()));
}

}  // namespace
}  // namespace quillon_test
