// Runs the real pxtool binary (the test build: status, report and reset
// take their run locks from the test's directory): its codec subcommands and
// the command line every subcommand shares.

#include <filesystem>
#include <regex>

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
    r_ = RunProgram(std::string(QUILLON_BIN_DIR) + "/pxtool_testbuild", argv, options);
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
    EXPECT_TRUE(Contains(r_.err, f.second)) << f.first;
  }
  EXPECT_TRUE(Contains(r_.out, "m3: method 3"));
  EXPECT_EQ(kAbc1, ReadFile(dir_ / "a1"));
  EXPECT_FALSE(Exists(dir_ / "out"));

  ASSERT_EQ(0, Run("--version"));
  EXPECT_EQ("pxtool " QUILLON_VERSION_STRING "\n", r_.out);
  for (const char* usage : {"", "nosuch", "help nosuch"}) {
    EXPECT_EQ(2, Run(usage)) << usage;
    EXPECT_TRUE(Contains(r_.err, "pxtool --help")) << usage;
  }
}

// Every subcommand, in the order of "pxtool --help".
const std::vector<std::string> kSubcommands = {
    "scramble", "descramble", "info",  "trace", "manifest", "sign",
    "verify",   "status",     "report", "reset", "history", "plan",   "check",
    "fmt"};

TEST_F(PxtoolCliTest, EverySubcommandHasItsHelpAndRefusesUnknownOptions) {
  ASSERT_EQ(0, Run("--help"));
  const std::string overall = r_.out;
  std::vector<std::string> synopses;
  std::regex listed("\n  pxtool ([a-z][^\n]*)");
  for (std::sregex_iterator m(overall.begin(), overall.end(), listed), end; m != end; ++m)
    synopses.push_back((*m)[1]);
  ASSERT_EQ(kSubcommands.size(), synopses.size()) << overall;
  EXPECT_EQ(std::string::npos, overall.find("\n[")) << "a synopsis line not indented";
  ASSERT_EQ(0, Run("help"));
  EXPECT_EQ(overall, r_.out);

  for (size_t i = 0; i < kSubcommands.size(); ++i) {
    const std::string& name = kSubcommands[i];
    // No file is looked at: the operand "missing" is never opened.
    ASSERT_EQ(0, Run(name + " missing --help")) << name << r_.err;
    const std::string help = r_.out;
    EXPECT_EQ(0u, help.find("Usage: pxtool " + synopses[i] + "\n")) << help;
    EXPECT_TRUE(Contains(help, "\nOptions:\n"));
    EXPECT_TRUE(Contains(help, "\n  -h, --help "));
    EXPECT_EQ("", r_.err);
    for (const std::string& same : {name + " -h", "help " + name}) {
      EXPECT_EQ(0, Run(same)) << same;
      EXPECT_EQ(help, r_.out) << same;
    }
    EXPECT_EQ(2, Run(name + " missing --frobnicate=1"));
    EXPECT_EQ("pxtool: " + name + ": unknown option '--frobnicate'\nTry 'pxtool " + name +
                  " --help'.\n",
              r_.err);
    EXPECT_EQ("", r_.out);
  }
}

TEST_F(PxtoolCliTest, UsageErrorsSayWhatIsWrongInOneLine) {
  std::filesystem::create_directory(dir_ / "hello");
  const std::pair<const char*, const char*> errors[] = {
      {"status --form json", "unknown option '--form'"},  // no abbreviations
      {"status --format", "option '--format' needs a value"},
      {"status --wait=1", "option '--wait' takes no value"},
      {"status --timeout 5", "--timeout needs --wait"},
      {"report --format=xml", "--format takes text, json or svg, not 'xml'"},
      {"check -x hello", "unknown option '-x'"},
      {"plan hello -help", "unknown option '-help'"},  // not -h and more
      {"plan hello --update", "unknown option '--update'"},
      {"plan hello -reset", "-reset needs a value"},
      {"plan hello a b", "takes PACKAGE_DIR [ARGUMENT_FILE] or ARGUMENT_FILE"},
      {"sign --key k", "takes PACKAGE_DIR [ARGUMENT_FILE] or ARGUMENT_FILE"},
      {"scramble a b", "--method 1|2 is required"},
      {"scramble --method 3 a b", "--method takes 1 or 2, not '3'"},
  };
  for (const auto& e : errors) {
    EXPECT_EQ(2, Run(e.first)) << e.first;
    std::string name(e.first, strcspn(e.first, " "));
    EXPECT_EQ("pxtool: " + name + ": " + e.second + "\nTry 'pxtool " + name + " --help'.\n",
              r_.err);
  }
}

// A value option of each subcommand, given as "--NAME=VALUE" and as
// "--NAME VALUE", reaches the subcommand alike; options and operands mix.
TEST_F(PxtoolCliTest, ValuesInBothForms) {
  std::filesystem::copy(std::string(QUILLON_SOURCE_DIR) + "/examples/hello", dir_ / "hello",
                        std::filesystem::copy_options::recursive);
  WriteFile(dir_ / "a", "abc");
  const std::pair<const char*, int> cases[] = {
      {"scramble --method=1 a a1", 0},
      {"sign --key=nokey hello", 1},  // the key is looked for
      {"verify hello --key=nokey", 1},
      {"status hello --format=json", 6},
      {"status --wait --timeout=9 hello", 6},
      {"report hello --last=1", 1},  // no run log
      {"reset --section=[UpdCommands] hello", 0},
      {"plan hello --format=json", 0},
      {"check --max-diagnostics=1 hello", 0},
  };
  for (const auto& c : cases) {
    std::string joined = c.first, apart = joined;
    apart[apart.find('=')] = ' ';
    EXPECT_EQ(c.second, Run(joined)) << joined << ": " << r_.err;
    ProgramResult first = r_;
    EXPECT_EQ(c.second, Run(apart)) << apart << ": " << r_.err;
    EXPECT_EQ(first.out, r_.out) << apart;
    EXPECT_EQ(first.err, r_.err) << apart;
  }
  EXPECT_TRUE(Contains(r_.out, "0 errors"));
}

}  // namespace
}  // namespace quillon_test
