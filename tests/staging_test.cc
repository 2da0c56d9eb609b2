// Staging of package files into the execution directory, their clean-up,
// and the directory of the program's path.

#include "staging.h"

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

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
  EXPECT_EQ(55u, InitRunA(nullptr, src_.c_str()));
  EXPECT_EQ(55u, InitRunA(exec_.c_str(), nullptr));
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
  EXPECT_EQ(0u, TakeLog().find("\n<TS>\tCopy file from \"" + src_ + "/setup.exe\" to \"" + exec_ +
                               "/setup.exe\"\n"));
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
  EXPECT_NE(std::string::npos, TakeLog().find(src_ + "/missing"));

  // A path over 511 characters is found before anything is copied.
  ResetRunGlobals();
  List({"b", std::string(600 - src_.size(), 'x')});
  EXPECT_EQ(static_cast<unsigned>(EXECERROR_HandlerError), InitRunA(exec_.c_str(), src_.c_str()));
  EXPECT_FALSE(Exists(exec_ + "/b"));
}

TEST_F(StagingTest, CompleteRunDeletesOrKeeps) {
  WriteFile("one", "1");
  WriteFile("two", "2");
  List({"one", "two", "one"});
  pExecPath = strdup("exec");
  pFwPath = new char[4]{'s', 'r', 'c', 0};
  EXPECT_EQ(0u, CompleteRun(true));
  EXPECT_TRUE(Exists("one") && Exists("two"));
  EXPECT_EQ("", TakeLog());
  EXPECT_TRUE(uFileCnt == 0 && cFileList[0] == nullptr && pExecPath == nullptr &&
              pFwPath == nullptr);

  List({"one", "two", "one"});
  EXPECT_EQ(0u, CompleteRun(false));
  EXPECT_FALSE(Exists("one") || Exists("two"));
  EXPECT_NE(std::string::npos, TakeLog().find("\n<TS>\tdelete file 'one' returns 2"));
}

TEST(WrpPathTest, DirectoryOfProgramPath) {
  char out[kWrpPathSize] = "untouched";
  for (const std::string& bad : {std::string("Quillon"), std::string(),
                                 "/" + std::string(1100, 'p') + "/Q"})
    EXPECT_FALSE(Get_WRP_Path(bad.c_str(), out)) << bad;
  EXPECT_FALSE(Get_WRP_Path(nullptr, out));
  EXPECT_STREQ("untouched", out);
  EXPECT_TRUE(Get_WRP_Path("/opt/pkg/Quillon", out));
  EXPECT_STREQ("/opt/pkg", out);
  EXPECT_TRUE(Get_WRP_Path("/Quillon", out));
  EXPECT_STREQ("", out);
  EXPECT_TRUE(Get_WRP_Path((std::string(1020, 'p') + "/Qui").c_str(), out));  // 1024 fit
  EXPECT_EQ(std::string(1020, 'p'), out);
}

}  // namespace
}  // namespace quillon_test
