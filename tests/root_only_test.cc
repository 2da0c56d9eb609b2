// What a signed run uses must be root's alone: owners, modes, sticky
// directories above, links on the way and in trees.

#include "root_only.h"

#include "test_util.h"

namespace quillon_test {
namespace {

class RootOnlyTest : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
    ASSERT_EQ(0, mkdir((dir_ / "pkg").c_str(), 0755));
    ASSERT_EQ(0, mkdir((dir_ / "pkg/lib").c_str(), 0755));
    WriteFile(dir_ / "pkg/lib/helper.sh", "echo helper\n");
    ASSERT_EQ(0, chmod((dir_ / "pkg/lib/helper.sh").c_str(), 0644));
  }
  std::string Why(const std::string& path, bool tree = true) { return WhyNotRootOnly(path, tree); }
  ScopedTempDir dir_;
};

TEST_F(RootOnlyTest, OwnersAndModes) {
  EXPECT_EQ("", Why(dir_ / "pkg"));
  EXPECT_EQ("", Why(dir_ / "pkg/lib/../lib/./helper.sh", false));

  // A file below, given to another user or writable by the group.
  ASSERT_EQ(0, chown((dir_ / "pkg/lib/helper.sh").c_str(), 65534, 65534));
  EXPECT_EQ(dir_ / "pkg/lib/helper.sh" + ": owned by user 65534 with mode 0644 - must belong to root (chown root)",
            Why(dir_ / "pkg"));
  EXPECT_EQ("", Why(dir_ / "pkg", false));  // not looked at without the tree
  ASSERT_EQ(0, chown((dir_ / "pkg/lib/helper.sh").c_str(), 0, 0));
  ASSERT_EQ(0, chmod((dir_ / "pkg/lib").c_str(), 0775));
  EXPECT_EQ(dir_ / "pkg/lib" + ": owned by user 0 with mode 0775 - must not be writable by group or others (chmod go-w)",
            Why(dir_ / "pkg"));

  // Above a checked path: writable by others only with the sticky bit.
  ASSERT_EQ(0, chmod((dir_ / "pkg/lib").c_str(), 0755));
  ASSERT_EQ(0, chmod(dir_.path().c_str(), 0777));
  EXPECT_NE(std::string::npos, Why(dir_ / "pkg").find(dir_.path() + ": owned by user 0 with mode 0777 - others may write"));
  ASSERT_EQ(0, chmod(dir_.path().c_str(), 01777));
  EXPECT_EQ("", Why(dir_ / "pkg"));
  EXPECT_NE("", Why(dir_.path()));  // but not as the checked path itself
  ASSERT_EQ(0, chmod(dir_.path().c_str(), 0700));
}

TEST_F(RootOnlyTest, LinksAreFollowedAndTheirTargetsHeldToTheRule) {
  ASSERT_EQ(0, mkdir((dir_ / "home").c_str(), 0755));
  ASSERT_EQ(0, chown((dir_ / "home").c_str(), 65534, 65534));
  WriteFile(dir_ / "home/evil.sh", "id\n");
  const std::string refused = dir_ / "home: owned by user 65534";

  // In a tree, and on the way to a checked path.
  ASSERT_EQ(0, symlink((dir_ / "home/evil.sh").c_str(), (dir_ / "pkg/lib/link.sh").c_str()));
  EXPECT_EQ(0u, Why(dir_ / "pkg").find(refused));
  ASSERT_EQ(0, unlink((dir_ / "pkg/lib/link.sh").c_str()));
  ASSERT_EQ(0, symlink("../home", (dir_ / "pkg/up").c_str()));
  EXPECT_EQ(0u, Why(dir_ / "pkg/up/evil.sh", false).find(refused));

  // A link to what is root's own is fine; a loop of links is not.
  ASSERT_EQ(0, symlink("lib/helper.sh", (dir_ / "pkg/short.sh").c_str()));
  EXPECT_EQ("", Why(dir_ / "pkg/short.sh", false));
  ASSERT_EQ(0, unlink((dir_ / "pkg/up").c_str()));
  ASSERT_EQ(0, symlink("b", (dir_ / "pkg/a").c_str()));
  ASSERT_EQ(0, symlink("a", (dir_ / "pkg/b").c_str()));
  EXPECT_NE(std::string::npos, Why(dir_ / "pkg").find("cannot be resolved"));
}

}  // namespace
}  // namespace quillon_test
