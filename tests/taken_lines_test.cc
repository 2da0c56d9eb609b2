// The record of taken lines (taken_lines.h): durable, root's alone, and
// read back whatever a crash cut short.
//
// Also gives every program the tests start a state directory of this test
// process's own (QUILLON_STATE_DIR, read by the test builds only), so that
// no test touches /var/lib.

#include "taken_lines.h"

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <set>

#include "another_user.h"
#include "test_util.h"

namespace quillon_test {
namespace {

testing::Environment* const kPrivateState = testing::AddGlobalTestEnvironment(
    new PrivateDirectoryForPrograms("QUILLON_STATE_DIR", "state"));

const std::string kDigest(64, 'a');
const std::string kHeader = "quillon taken lines 1\n";

class TakenLinesTest : public testing::Test {
 protected:
  ScopedTempDir dir_;
  const std::string state_ = dir_ / "state", record_ = state_ + "/" + kDigest + ".taken";
  std::string why_;
};

// Every cut a crash can make: the complete lines are read, the cut one is
// not, and is cut off before the next line is added.
TEST_F(TakenLinesTest, ReadsBackWhatACrashLeft) {
  {
    TakenLines record(state_);
    ASSERT_TRUE(record.Load(kDigest, &why_)) << why_;
    EXPECT_TRUE(record.empty());
    for (size_t line : {4, 17, 4}) ASSERT_EQ(0, record.Add(line, &why_)) << why_;
  }
  struct stat st;
  ASSERT_EQ(0, stat(state_.c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);
  const std::string whole = kHeader + "4\n17\n";
  ASSERT_EQ(whole, ReadFile(record_));
  for (size_t size = whole.size(); size-- > 0;) {
    SCOPED_TRACE(size);
    WriteFile(record_, whole.substr(0, size));
    TakenLines record(state_);
    ASSERT_TRUE(record.Load(kDigest, &why_)) << why_;
    EXPECT_EQ(size >= kHeader.size() + 2, record.Has(4));
    EXPECT_FALSE(record.Has(1) || record.Has(17));
    ASSERT_EQ(0, record.Add(9, &why_)) << why_;
    EXPECT_EQ(size < kHeader.size() ? kHeader + "9\n"
                                    : whole.substr(0, whole.rfind('\n', size - 1) + 1) + "9\n",
              ReadFile(record_));
  }
  for (const std::string& damaged : {kHeader + "x4\n", kHeader + "04\n", std::string("4\n17\n")}) {
    WriteFile(record_, damaged);
    TakenLines record(state_);
    EXPECT_FALSE(record.Load(kDigest, &why_)) << damaged;
    EXPECT_EQ(0u, why_.find(record_ + ": ")) << why_;
  }
}

TEST_F(TakenLinesTest, ForgetKeepsTheRestOrRemovesTheRecord) {
  TakenLines record(state_), other(state_);
  ASSERT_TRUE(record.Load(kDigest, &why_) && other.Load(kDigest, &why_));
  for (size_t line : {4, 17}) ASSERT_EQ(0, record.Add(line, &why_)) << why_;
  std::set<size_t> four = {4};
  ASSERT_TRUE(other.Forget(kDigest, &four, &why_)) << why_;
  EXPECT_EQ(kHeader + "17\n", ReadFile(record_));
  ASSERT_EQ(0, record.Add(5, &why_));  // into the record that replaced its own
  EXPECT_EQ(kHeader + "17\n5\n", ReadFile(record_));
  ASSERT_TRUE(other.Forget(kDigest, nullptr, &why_)) << why_;
  EXPECT_FALSE(Exists(record_));
  EXPECT_TRUE(other.Forget(kDigest, nullptr, &why_)) << why_;
}

// A record that another user could change, or plant, is nobody's.
TEST_F(TakenLinesTest, PlacesOthersCouldChangeAreRefused) {
  ASSERT_EQ(0, mkdir(state_.c_str(), 0700));
  WriteFile(record_, kHeader + "4\n");
  ASSERT_EQ(0, chmod(record_.c_str(), 0600));
  struct Case {
    std::function<void()> open;
    std::string message;
  };
  const std::vector<Case> cases = {
      {[&] { ASSERT_EQ(0, chmod(state_.c_str(), 0777)); },
       state_ + ": owned by user 0 with mode 0777 - must not be writable by group or others"},
      {[&] { ASSERT_EQ(0, chown(state_.c_str(), kAnotherUser, 0)); },
       state_ + ": owned by user 65534 with mode 0700 - must belong to root"},
      {[&] { ASSERT_EQ(0, chmod(record_.c_str(), 0666)); },
       record_ + ": owned by user 0 with mode 0666 - must not be writable"},
      {[&] {
         ASSERT_EQ(0, rename(record_.c_str(), (dir_ / "planted").c_str()));
         ASSERT_EQ(0, symlink((dir_ / "planted").c_str(), record_.c_str()));
       },
       record_ + ": is a symbolic link"},
  };
  for (const Case& c : cases) {
    c.open();
    TakenLines record(state_);
    EXPECT_FALSE(record.Load(kDigest, &why_));
    EXPECT_EQ(0u, why_.find(c.message)) << why_;
    why_.clear();
    EXPECT_NE(0, record.Add(5, &why_));
    EXPECT_EQ(0u, why_.find(c.message)) << why_;
    ASSERT_EQ(0, chmod(state_.c_str(), 0700));
    ASSERT_EQ(0, chown(state_.c_str(), 0, 0));
    ASSERT_EQ(0, chmod(record_.c_str(), 0600));
  }
}

}  // namespace
}  // namespace quillon_test
