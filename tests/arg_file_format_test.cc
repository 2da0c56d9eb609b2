// The argument file's formatter (tools/pxtool/arg_file_format.h), and
// "pxtool fmt" as a program: the file it writes, its backup, its refusals.

#include "arg_file_format.h"

#include <sys/stat.h>

#include "command_text.h"
#include "run_lock.h"
#include "test_util.h"

namespace quillon_test {
namespace {

using pxtool::CommandColumns;
using pxtool::FormatArgumentText;
using pxtool::FormattedText;
using pxtool::ReadCommandColumns;

TEST(ArgFileFormatTest, ReadsTheColumnsAsWrittenOrSaysWhyNot) {
  struct Case {
    const char* line;
    CommandColumns::Kind kind;
    const char* text;  // kInPlace, kShifted: the command text; else part of why
  };
  const Case cases[] = {
      {"0 000 sh a.sh", CommandColumns::kInPlace, "sh a.sh"},
      {"1\t-01\tsh a.sh", CommandColumns::kInPlace, "sh a.sh"},  // as a run writes it
      {"0 000  sh a.sh", CommandColumns::kInPlace, " sh a.sh"},   // the run's text kept
      {"0 00 sh verify.sh", CommandColumns::kShifted, "sh verify.sh"},
      {"0  00 sh a.sh", CommandColumns::kShifted, "sh a.sh"},  // same text, field blank
      {"0\t7\tflag abort_ne 0", CommandColumns::kShifted, "flag abort_ne 0"},
      {"1 0 a", CommandColumns::kShifted, "a"},
      {"0 sh a.sh", CommandColumns::kAmbiguous, "no result field"},
      {"00 000 sh", CommandColumns::kAmbiguous, "no blank after the mark"},
      {"0 0000 sh", CommandColumns::kAmbiguous, "more than three digits"},
      {"0 000sh a.sh", CommandColumns::kAmbiguous, "no blank after the result field"},
      {"0 00", CommandColumns::kAmbiguous, "no command text"},
      // The run reads "sh" from column 7, the digits say "0 sh": either.
      {"0 0 0 sh", CommandColumns::kAmbiguous, "either could be the command"},
  };
  for (const Case& c : cases) {
    CommandColumns columns = ReadCommandColumns(c.line);
    EXPECT_EQ(c.kind, columns.kind) << c.line;
    if (c.kind == CommandColumns::kAmbiguous)
      EXPECT_NE(std::string::npos, std::string(columns.why).find(c.text)) << c.line;
    else
      EXPECT_EQ(c.text, columns.text) << c.line;
  }
  EXPECT_EQ("0 007 flag abort_ne 0",
            pxtool::PlacedCommandLine('0', ReadCommandColumns("0\t7\tflag abort_ne 0")));
}

// The lines of a text without their line ends (LF, and CR before it).
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', at)) {
    lines.push_back(text.substr(at, lf - at - (lf > at && text[lf - 1] == '\r' ? 1 : 0)));
    at = lf + 1;
  }
  lines.push_back(text.substr(at));
  return lines;
}

// A file with every kind of line, its line ends mixed: only command lines
// of command sections move, no command text changes, the zero byte's tail
// stays, and a second formatting changes nothing.
TEST(ArgFileFormatTest, FormatsAVariedFileKeepingEveryCommandText) {
  const std::string text =
      "[Runtime]\n"
      "# 0 00 not a command line\r\n"
      "FWPATH=files\n"
      "0 00 before any section\n"
      "# [UpdCommands] named in a comment: update runs start below\n"
      "0 00 sh update-early.sh\r\n"
      "[Commands]\r\n"
      "0 000 flag abort_ne 0\n"
      "0 00 sh verify.sh\n"
      "0  7 sh -c \"exit 7\"   \r\n"
      "1\t12\tsh taken.sh\n"
      "0\t000\tsh tabs.sh\n"
      "0 OOO sh letters.sh\n"
      "0 00\n"
      "# 0 00 a comment\n"
      " 0 00 sh indented.sh\n"
      "[Notes]\n"
      "0 00 sh notes-are-no-section.sh\n"
      "[ExpCommands]\n"
      "0 0 update sh !{EXTVAR} x\r\r\n" +
      std::string("0 00 after\0\n0 00 x\n", 19);
  FormattedText f = FormatArgumentText(text);
  EXPECT_EQ(
      "[Runtime]\r\n"
      "# 0 00 not a command line\r\n"
      "FWPATH=files\r\n"
      "0 00 before any section\r\n"
      "# [UpdCommands] named in a comment: update runs start below\r\n"
      "0 000 sh update-early.sh\r\n"
      "[Commands]\r\n"
      "0 000 flag abort_ne 0\r\n"
      "0 000 sh verify.sh\r\n"
      "0 007 sh -c \"exit 7\"   \r\n"
      "1 012 sh taken.sh\r\n"
      "0\t000\tsh tabs.sh\r\n"
      "0 OOO sh letters.sh\r\n"
      "0 00\r\n"
      "# 0 00 a comment\r\n"
      " 0 00 sh indented.sh\r\n"
      "[Notes]\r\n"
      "0 00 sh notes-are-no-section.sh\r\n"
      "[ExpCommands]\r\n"
      "0 000 update sh !{EXTVAR} x\r\r\n" +
          std::string("0 000 after\0\n0 00 x\n", 20),
      f.text);
  EXPECT_EQ(15u, f.lineEndsConverted);
  EXPECT_EQ(1u, f.firstLineEnd);
  std::vector<size_t> moved, alone;
  for (const pxtool::LineChange& c : f.columns) moved.push_back(c.line);
  for (const pxtool::LineChange& c : f.leftAlone) alone.push_back(c.line);
  EXPECT_EQ((std::vector<size_t>{6, 9, 10, 11, 20, 21}), moved);
  EXPECT_EQ((std::vector<size_t>{13, 14}), alone);

  // Every command text as written is the one the run reads now.
  std::vector<std::string> before = Lines(text), after = Lines(f.text);
  ASSERT_EQ(before.size(), after.size());
  for (const pxtool::LineChange& c : f.columns) {
    CommandColumns was = ReadCommandColumns(before[c.line - 1]);
    CommandColumns is = ReadCommandColumns(after[c.line - 1]);
    EXPECT_EQ(CommandColumns::kInPlace, is.kind) << c.after;
    EXPECT_EQ(std::string(was.text), std::string(after[c.line - 1], kCommandOffset));
  }

  FormattedText again = FormatArgumentText(f.text);
  EXPECT_EQ(f.text, again.text);
  EXPECT_FALSE(again.Changed());
  EXPECT_EQ(f.leftAlone.size(), again.leftAlone.size());
  EXPECT_FALSE(FormatArgumentText("").Changed());
}

class FmtCliTest : public testing::Test {
 protected:
  // examples/hello in a scratch directory, its argument file in LF.
  void SetUp() override {
    std::filesystem::copy(std::string(QUILLON_SOURCE_DIR) + "/examples/hello", pkg_,
                          std::filesystem::copy_options::recursive);
    crlf_ = ReadFile(arg());
    std::string lf = crlf_;
    lf.erase(std::remove(lf.begin(), lf.end(), '\r'), lf.end());
    WriteFile(arg(), lf);
    chmod(arg().c_str(), 0640);
  }
  std::string arg() const { return pkg_ + "/pkg/px.arg"; }
  ProgramResult Pxtool(const std::vector<std::string>& args) {
    ProgramOptions options;
    options.env = {"QUILLON_RUN_LOCK_DIR=" + dir_ / "locks"};
    return RunProgram(std::string(QUILLON_BIN_DIR) + "/pxtool_testbuild", args, options);
  }
  ScopedTempDir dir_;
  const std::string pkg_ = dir_ / "hello";
  std::string crlf_;
};

// An editor's LF-only file: check names the one cause once, fmt --check
// says what it would change, fmt writes the file a package ships, and then
// check passes.
TEST_F(FmtCliTest, LfOnlyPackageFormattedUntilCheckPasses) {
  const std::string lf = ReadFile(arg());
  ProgramResult r = Pxtool({"check", "--no-source", pkg_});
  EXPECT_EQ(1, r.exit_status);
  EXPECT_EQ(arg() + ":3:12: error: 15 lines end in LF only; the run needs CR LF - `pxtool "
                    "fmt` converts. The run drops the character before each LF: here it reads "
                    "the package directory as \"file\" (the other findings are for the file "
                    "with CR LF) [bare-line-feed]\n"
                    "1 error, 0 warnings, 0 notes in 1 argument file\n",
            r.out);

  r = Pxtool({"fmt", pkg_, "--check"});
  EXPECT_EQ(1, r.exit_status) << r.err;
  EXPECT_NE(std::string::npos,
            r.out.find("15 line ends LF -> CR LF (would be converted), the first on line 1\n"))
      << r.out;
  EXPECT_EQ(lf, ReadFile(arg()));

  r = Pxtool({"fmt", pkg_, "pkg/px.arg"});
  EXPECT_EQ(0, r.exit_status) << r.err;
  EXPECT_EQ(crlf_, ReadFile(arg()));
  EXPECT_EQ(lf, ReadFile(arg() + ".bak"));
  struct stat st;
  ASSERT_EQ(0, stat(arg().c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ(0, Pxtool({"check", pkg_}).exit_status);
  r = Pxtool({"fmt", "--check", pkg_});
  EXPECT_EQ(0, r.exit_status);
  EXPECT_EQ(arg() + ": formatted; nothing to change\n", r.out);
}

TEST_F(FmtCliTest, RefusesALockedPackageALinkAndBadArguments) {
  const std::string lf = ReadFile(arg());
  {
    RunLock held(dir_ / "locks");
    std::string why;
    ASSERT_EQ(RunLockState::kTaken, held.Take(arg(), &why)) << why;
    ProgramResult r = Pxtool({"fmt", pkg_});
    EXPECT_EQ(1, r.exit_status);
    EXPECT_TRUE(Contains(r.err, "holds the package's lock - nothing changed"));
    EXPECT_EQ(lf, ReadFile(arg()));
    EXPECT_FALSE(Exists(arg() + ".bak"));
    EXPECT_EQ(1, Pxtool({"fmt", "--check", pkg_}).exit_status);  // --check only reads
  }
  ASSERT_EQ(0, symlink("px.arg", (pkg_ + "/pkg/link.arg").c_str()));
  ProgramResult r = Pxtool({"fmt", pkg_, "pkg/link.arg"});
  EXPECT_EQ(1, r.exit_status);
  EXPECT_TRUE(Contains(r.err, "is a symbolic link"));
  EXPECT_EQ(lf, ReadFile(arg()));
  EXPECT_EQ(2, Pxtool({"fmt"}).exit_status);
  EXPECT_EQ(2, Pxtool({"fmt", pkg_, "pkg/px.arg", "more"}).exit_status);
}

}  // namespace
}  // namespace quillon_test
