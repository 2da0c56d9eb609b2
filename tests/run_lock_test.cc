// The run lock (run_lock.h): one lock per argument file whatever the path
// to it, in a directory that nobody but root can use.
//
// Also gives every program the tests start a run-lock directory of this
// test process's own (QUILLON_RUN_LOCK_DIR, read by the test builds only),
// so that no test touches /run.

#include "run_lock.h"

#include "another_user.h"
#include "test_util.h"

namespace quillon_test {
namespace {

class PrivateRunLockDirectory : public testing::Environment {
 public:
  void SetUp() override {
    char tmpl[] = "/tmp/quillon_locks.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    root_ = tmpl;
    // Not there yet: the first run creates it.
    setenv("QUILLON_RUN_LOCK_DIR", (root_ + "/locks").c_str(), 1);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

 private:
  std::string root_;
};

testing::Environment* const kPrivateRunLocks =
    testing::AddGlobalTestEnvironment(new PrivateRunLockDirectory);

class RunLockTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, chmod(dir_.path().c_str(), 0755));  // the other user may look
    WriteFile(arg_, ArgText({"[Commands]", "0 000 true", "[End]"}));
    ASSERT_EQ(0, chmod(arg_.c_str(), 0644));
  }
  ScopedTempDir dir_;
  const std::string locks_ = dir_ / "locks", arg_ = dir_ / "px.arg";
  std::string why_;
};

TEST_F(RunLockTest, OneLockPerArgumentFileWhateverThePath) {
  ASSERT_EQ(0, link(arg_.c_str(), (dir_ / "second.arg").c_str()));
  ASSERT_EQ(0, symlink(dir_.path().c_str(), (dir_ / "alias").c_str()));
  {
    RunLock held(locks_);
    ASSERT_EQ(RunLockState::kTaken, held.Take(arg_, &why_)) << why_;
    for (const std::string& path : {arg_, dir_ / "second.arg", dir_ / "alias/px.arg"}) {
      EXPECT_EQ(RunLockState::kHeld, RunLock(locks_).Take(path, &why_)) << path;
      EXPECT_EQ(RunLockState::kHeld, RunLock(locks_).Probe(path, &why_)) << path;
    }
    WriteFile(dir_ / "other.arg", "x");
    EXPECT_EQ(RunLockState::kTaken, RunLock(locks_).Take(dir_ / "other.arg", &why_));
    // The other user cannot even look into the directory, let alone lock.
    EXPECT_EQ(0, AsAnotherUser([&] {
      std::string why;
      return RunLock(locks_).Take(arg_, &why) == RunLockState::kFailed &&
                     why == locks_ + ": Permission denied (the run locks are root's alone)"
                 ? 0
                 : 1;
    }));
  }
  EXPECT_EQ(RunLockState::kFree, RunLock(locks_).Probe(dir_ / "alias/px.arg", &why_));
  EXPECT_EQ(RunLockState::kTaken, RunLock(locks_).Take(dir_ / "alias/px.arg", &why_));

  struct stat dir, arg;
  ASSERT_EQ(0, lstat(locks_.c_str(), &dir));
  EXPECT_TRUE(S_ISDIR(dir.st_mode));
  EXPECT_EQ(0700u, dir.st_mode & 07777);
  ASSERT_EQ(0, stat(arg_.c_str(), &arg));
  EXPECT_TRUE(Exists(locks_ + "/" + std::to_string(arg.st_dev) + "-" +
                     std::to_string(arg.st_ino) + ".lock"));
}

TEST_F(RunLockTest, ProbeCreatesNothing) {
  EXPECT_EQ(RunLockState::kFree, RunLock(locks_).Probe(arg_, &why_));
  EXPECT_FALSE(Exists(locks_));
  EXPECT_EQ(RunLockState::kNoFile, RunLock(locks_).Probe(dir_ / "none.arg", &why_));
  EXPECT_EQ(dir_ / "none.arg: No such file or directory", why_);
}

// A lock directory or lock file that someone else could have made or
// could change is never used: every such lock fails, naming the path.
TEST_F(RunLockTest, LockPlacesOthersCouldUseAreRefused) {
  struct stat arg;
  ASSERT_EQ(0, stat(arg_.c_str(), &arg));
  const std::string name = RunLockFileName(arg.st_dev, arg.st_ino);
  ASSERT_EQ(0, mkdir((dir_ / "good").c_str(), 0700));
  struct Case {
    const char* what;
    std::function<void()> make;
    std::string why;
  };
  const std::vector<Case> cases = {
      {"writable directory", [&] { mkdir(locks_.c_str(), 0700); chmod(locks_.c_str(), 0777); },
       locks_ + ": owned by user 0 with mode 0777 - must not be writable by group or others "
                 "(chmod go-w)"},
      {"another user's directory",
       [&] { mkdir(locks_.c_str(), 0700); chown(locks_.c_str(), kAnotherUser, kAnotherUser); },
       locks_ + ": owned by user 65534 with mode 0700 - must belong to root (chown root)"},
      {"link to a directory", [&] { symlink((dir_ / "good").c_str(), locks_.c_str()); },
       locks_ + ": is a symbolic link"},
      {"planted lock file",
       [&] {
         mkdir(locks_.c_str(), 0700);
         symlink((dir_ / "elsewhere").c_str(), (locks_ + "/" + name).c_str());
       },
       locks_ + "/" + name + ": is a symbolic link"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(locks_);
    c.make();
    EXPECT_EQ(RunLockState::kFailed, RunLock(locks_).Take(arg_, &why_));
    EXPECT_EQ(c.why, why_);
    EXPECT_EQ(RunLockState::kFailed, RunLock(locks_).Probe(arg_, &why_));
  }
  EXPECT_FALSE(Exists(dir_ / "good/" + name) || Exists(dir_ / "elsewhere"));
}

}  // namespace
}  // namespace quillon_test
