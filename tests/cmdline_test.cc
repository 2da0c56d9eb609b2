// Command line: modes, value options with their markers, values longer than
// their buffers.

#include "cmdline.h"

#include "test_util.h"

namespace quillon_test {
namespace {

class CmdlineTest : public QuillonTest {
 protected:
  // Evaluates a fresh command line; argv[0] is a program path. Returns the
  // warnings about shortened values.
  std::vector<std::string> Eval(std::vector<std::string> args) {
    ResetRunGlobals();
    args.insert(args.begin(), "/opt/pkg/Quillon");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    std::vector<std::string> warnings{"left from before"};
    EXPECT_EQ(0, evaluateCmdlineOptions(static_cast<int>(argv.size()), argv.data(), &warnings));
    return warnings;
  }
};

TEST_F(CmdlineTest, ModesLastOneWins) {
  EXPECT_TRUE(Eval({"/work", "px.arg"}).empty());
  EXPECT_TRUE(force && !update && !expert && !autonomic && !debug && !agt_no_reboot);
  Eval({"/work", "px.arg", "-force", "-update", "-n", "-d"});
  EXPECT_TRUE(update && agt_no_reboot && debug && !force && !expert);
  Eval({"/work", "-update", "-expert", "--version", "-D", "Autonomic"});  // compared exactly
  EXPECT_TRUE(expert && !force && !update && !autonomic);
  Eval({"kbxmode", "-update"});
  EXPECT_TRUE(autonomic && update);
}

TEST_F(CmdlineTest, ValueOptionsAndMarkers) {
  Eval({"/w", "-external-variable", " \"a b\"\t", "-reset", "r1", "-external-parameter", "p1"});
  EXPECT_STREQ("a b", externalOptionBuffer);
  EXPECT_STREQ("r1", externalResetBuffer);
  EXPECT_STREQ("p1", externalParameterBuffer);
  EXPECT_TRUE(externalOption && reset && externalParameter);

  // Markers leave the buffers empty; only the reset marker leaves its
  // switch off. The parameter marker counts by its first 16 characters.
  Eval({"/w", "-external-variable", "<ExternalVariable>", "-reset", "<ExternalReset>",
        "-external-parameter", "<ExternalParametXYZ"});
  EXPECT_STREQ("", externalOptionBuffer);
  EXPECT_STREQ("", externalResetBuffer);
  EXPECT_STREQ("", externalParameterBuffer);
  EXPECT_TRUE(externalOption && externalParameter && !reset);

  // A value option consumes the next argument, whatever it is ("-v" does
  // not end the process here); an empty value still sets reset; a value
  // option at the end has an empty value.
  Eval({"/w", "-update", "-external-variable", "-force", "-reset", "", "-reset", "-v",
        "-external-parameter"});
  EXPECT_TRUE(update && !force && reset && externalParameter);
  EXPECT_STREQ("-force", externalOptionBuffer);
  EXPECT_STREQ("-v", externalResetBuffer);
  EXPECT_STREQ("", externalParameterBuffer);
}

TEST_F(CmdlineTest, LongValuesAreShortenedWithAWarning) {
  std::vector<std::string> warnings =
      Eval({"/w", "-reset", std::string(40, 'r'), "-external-parameter", std::string(20, 'p'),
            "-external-variable", std::string(600, 'v')});
  EXPECT_EQ(std::string(31, 'r'), externalResetBuffer);
  EXPECT_EQ(std::string(15, 'p'), externalParameterBuffer);
  EXPECT_EQ(std::string(511, 'v'), externalOptionBuffer);
  ASSERT_EQ(3u, warnings.size());
  EXPECT_EQ("\nValue of -reset is 40 characters long after cleaning; shortened to 31",
            warnings[0]);
}

}  // namespace
}  // namespace quillon_test
