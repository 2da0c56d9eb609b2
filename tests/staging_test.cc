// Staging of package files into the execution directory and the directory
// of the program's path (the clean-up: see the end-to-end tests).

#include "staging.h"

#include <cstring>

#include "test_util.h"

namespace quillon_test {
namespace {

class StagingTest : public QuillonTest {
 protected:
  void SetUp() override {
    QuillonTest::SetUp();
    OpenLog();
    mkdir(src_.c_str(), 0755);
    mkdir(exec_.c_str(), 0755);
  }
  void List(const std::vector<std::string>& names) {
    for (const std::string& name : names) cFileList[uFileCnt++] = strdup(name.c_str());
  }
  const std::string src_ = dir_ / "src", exec_ = dir_ / "exec";
};

TEST_F(StagingTest, CopiesAndMakesExeExecutable) {
  piFlags[abort_ne] = new unsigned(0);
  EXPECT_EQ(0u, InitRunA(exec_.c_str(), src_.c_str()));  // empty list
  EXPECT_EQ(nullptr, piFlags[abort_ne]);

  const std::vector<std::string> names{"setup.exe", "tool.exec", "setup.EXE", "setup.sh", "setup"};
  for (const std::string& name : names) WriteFile(src_ + "/" + name, "plain " + name);
  List(names);
  EXPECT_EQ(0u, InitRunA(exec_.c_str(), src_.c_str()));
  for (const std::string& name : names) {
    struct stat st;
    ASSERT_EQ(0, stat((exec_ + "/" + name).c_str(), &st));
    EXPECT_EQ(name == "setup.exe" || name == "tool.exec", (st.st_mode & 07777) == 0700u) << name;
  }
  EXPECT_EQ("plain setup.sh", ReadFile(exec_ + "/setup.sh"));
  // Source and destination the same file: the package file survives.
  EXPECT_EQ(0u, InitRunA(src_.c_str(), src_.c_str()));
  EXPECT_EQ("plain setup.sh", ReadFile(src_ + "/setup.sh"));
}

TEST_F(StagingTest, AnyFailureEndsStaging) {
  WriteFile(src_ + "/a", "a");
  WriteFile(src_ + "/b", "b");
  List({"a", "missing", "b"});
  EXPECT_NE(0u, InitRunA(exec_.c_str(), src_.c_str()));
  EXPECT_TRUE(Exists(exec_ + "/a"));
  EXPECT_FALSE(Exists(exec_ + "/b"));  // nothing after the failure
  EXPECT_TRUE(Contains(TakeLog(), src_ + "/missing"));

  // A path over 511 characters is found before anything is copied.
  ResetRunGlobals();
  List({"b", std::string(600 - src_.size(), 'x')});
  EXPECT_EQ(static_cast<unsigned>(EXECERROR_HandlerError), InitRunA(exec_.c_str(), src_.c_str()));
  EXPECT_FALSE(Exists(exec_ + "/b"));
}

// The ordinary case is the autonomic end-to-end run.
TEST(WrpPathTest, DirectoryOfProgramPath) {
  char out[kWrpPathSize] = "untouched";
  for (const std::string& bad : {std::string("Quillon"), "/" + std::string(1100, 'p') + "/Q"})
    EXPECT_FALSE(Get_WRP_Path(bad.c_str(), out)) << bad;
  EXPECT_STREQ("untouched", out);
  EXPECT_TRUE(Get_WRP_Path((std::string(1020, 'p') + "/Qui").c_str(), out));  // 1024 fit
  EXPECT_EQ(std::string(1020, 'p'), out);
}

}  // namespace
}  // namespace quillon_test
