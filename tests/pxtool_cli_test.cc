// Runs the real pxtool binary.

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

class PxtoolCliTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pxtool_cli_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
  }
  void TearDown() override {
    ASSERT_EQ(0, system(("rm -rf '" + dir_ + "'").c_str()));
  }
  std::string P(const std::string& name) { return dir_ + "/" + name; }
  void Write(const std::string& name, const std::string& data) {
    std::ofstream(P(name), std::ios::binary) << data;
  }
  std::string Read(const std::string& name) {
    std::ifstream f(P(name), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  // Runs pxtool in the test directory; returns its exit status and keeps
  // its standard output and error in out_ and err_.
  int Run(const std::string& args) {
    std::string cmd = "cd '" + dir_ + "' && '" + std::string(QUILLON_BIN_DIR) +
                      "/pxtool' " + args + " >.stdout 2>.stderr";
    int status = system(cmd.c_str());
    out_ = Read(".stdout");
    err_ = Read(".stderr");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string dir_, out_, err_;
};

TEST_F(PxtoolCliTest, ScrambleDescrambleInfo) {
  Write("a", "abc");
  ASSERT_EQ(0, Run("scramble --method 1 a a1"));
  EXPECT_EQ("\x16\x26\x36#PELK_ROW#", Read("a1"));
  ASSERT_EQ(0, Run("scramble --method=2 a a2"));
  ASSERT_EQ(0, Run("descramble a2 back"));
  EXPECT_EQ("abc", Read("back"));
  EXPECT_EQ("", err_);
  ASSERT_EQ(0, Run("info a a1 a2"));
  EXPECT_EQ(
      "a: method 0 (plain, no trailer), plain size 3\n"
      "a1: method 1, plain size 3\n"
      "a2: method 2, plain size 3\n",
      out_);
  ASSERT_EQ(0, Run("descramble a copy"));  // a plain file is copied
  EXPECT_EQ("abc", Read("copy"));
  EXPECT_NE(std::string::npos, err_.find("'a' has no trailer"));
}

TEST_F(PxtoolCliTest, FailuresNameTheFile) {
  Write("a", "abc");
  Write("a1", "\x16\x26\x36#PELK_ROW#");
  Write("m3", "abc#MIRA_DOV#");
  Write("empty", "");
  EXPECT_EQ(1, Run("descramble missing out"));
  EXPECT_NE(std::string::npos, err_.find("'missing'")) << err_;
  EXPECT_EQ(1, Run("descramble m3 out"));
  EXPECT_NE(std::string::npos, err_.find("method-3")) << err_;
  EXPECT_EQ(1, Run("scramble --method 2 a1 out"));
  EXPECT_NE(std::string::npos, err_.find("already ends")) << err_;
  EXPECT_EQ(1, Run("scramble --method 2 empty out"));
  EXPECT_EQ(1, Run("descramble a1 a1"));
  EXPECT_EQ("\x16\x26\x36#PELK_ROW#", Read("a1"));
  EXPECT_EQ(1, Run("descramble a1 /dev/full"));
  EXPECT_NE(std::string::npos, err_.find("No space left")) << err_;
  EXPECT_EQ(1, Run("info a missing m3"));
  EXPECT_NE(std::string::npos, out_.find("m3: method 3")) << out_;
  EXPECT_NE(std::string::npos, err_.find("'missing'")) << err_;
  EXPECT_EQ(0, access(P("a").c_str(), F_OK));
  EXPECT_NE(0, access(P("out").c_str(), F_OK));
}

TEST_F(PxtoolCliTest, UsageErrors) {
  ASSERT_EQ(0, Run("--help"));
  EXPECT_NE(std::string::npos, out_.find("Exit status"));
  EXPECT_EQ(2, Run(""));
  EXPECT_EQ(2, Run("frobnicate"));
  EXPECT_EQ(2, Run("scramble a b"));
  EXPECT_EQ(2, Run("scramble --method 3 a b"));
  EXPECT_EQ(2, Run("scramble --method"));
  EXPECT_EQ(2, Run("descramble a"));
  EXPECT_EQ(2, Run("info"));
  EXPECT_NE(std::string::npos, err_.find("pxtool --help"));
}

}  // namespace
