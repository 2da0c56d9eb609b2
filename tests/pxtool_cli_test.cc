// Runs the real pxtool binary.

#include "test_util.h"

namespace quillon_test {
namespace {

const std::string kAbc1 = "\x16\x26\x36#PELK_ROW#";

class PxtoolCliTest : public testing::Test {
 protected:
  // Runs pxtool in the test directory with the blank-separated `args`.
  int Run(const std::string& args) {
    std::istringstream words(args);
    std::vector<std::string> argv;
    for (std::string w; words >> w;) argv.push_back(w);
    ProgramOptions options;
    options.cwd = dir_.path();
    r_ = RunProgram(std::string(QUILLON_BIN_DIR) + "/pxtool", argv, options);
    return r_.exit_status;
  }
  ScopedTempDir dir_;
  ProgramResult r_;
};

TEST_F(PxtoolCliTest, ScrambleDescrambleInfo) {
  WriteFile(dir_ / "a", "abc");
  ASSERT_EQ(0, Run("scramble --method 1 a a1"));
  EXPECT_EQ(kAbc1, ReadFile(dir_ / "a1"));
  ASSERT_EQ(0, Run("scramble --method=2 a a2"));
  ASSERT_EQ(0, Run("descramble a2 back"));
  EXPECT_EQ("abc", ReadFile(dir_ / "back"));
  ASSERT_EQ(0, Run("info a a2"));
  EXPECT_EQ("a: method 0 (plain, no trailer), plain size 3\na2: method 2, plain size 3\n", r_.out);
}

TEST_F(PxtoolCliTest, FailuresNameTheFileAndUsageErrors) {
  WriteFile(dir_ / "a1", kAbc1);
  WriteFile(dir_ / "m3", "abc#MIRA_DOV#");
  const std::pair<const char*, const char*> failures[] = {
      {"descramble m3 out", "method-3"}, {"scramble --method 2 a1 out", "already ends"},
      {"info a1 missing m3", "'missing'"}};
  for (const auto& f : failures) {
    EXPECT_EQ(1, Run(f.first)) << f.first;
    EXPECT_NE(std::string::npos, r_.err.find(f.second)) << f.first << ": " << r_.err;
  }
  EXPECT_NE(std::string::npos, r_.out.find("m3: method 3")) << r_.out;
  EXPECT_EQ(kAbc1, ReadFile(dir_ / "a1"));
  EXPECT_FALSE(Exists(dir_ / "out"));

  ASSERT_EQ(0, Run("--version"));
  EXPECT_EQ("pxtool " QUILLON_VERSION_STRING "\n", r_.out);
  for (const char* usage : {"", "scramble a b", "scramble --method 3 a b", "descramble a"}) {
    EXPECT_EQ(2, Run(usage)) << usage;
    EXPECT_NE(std::string::npos, r_.err.find("pxtool --help")) << usage;
  }
}

}  // namespace
}  // namespace quillon_test
