// The reboot-required marker: which final codes leave one, how it is
// written (once listed, never through a link), and, end to end, that a run
// writes it exactly when it leaves a reboot undone and that a marker that
// cannot be written changes nothing of the run.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "reboot_marker.h"
#include "test_util.h"

namespace quillon_test {
namespace {

const std::string kQuillon = std::string(QUILLON_BIN_DIR) + "/Quillon_fakereboot";

TEST(RebootLeftUndoneTest, DelayedOrSuppressedOutsideAutonomicDelayedInIt) {
  EXPECT_TRUE(RebootLeftUndone(0x100000, false));      // delayed
  EXPECT_TRUE(RebootLeftUndone(0x100002, false));      // delayed, then an abort
  EXPECT_TRUE(RebootLeftUndone(6, false));             // suppressed
  EXPECT_TRUE(RebootLeftUndone(0x100006, false));
  EXPECT_TRUE(RebootLeftUndone(0x22130003, false));    // handler error after Delayed
  EXPECT_FALSE(RebootLeftUndone(0, false));
  EXPECT_FALSE(RebootLeftUndone(2, false));
  EXPECT_FALSE(RebootLeftUndone(5, false));            // handed to the reboot program
  EXPECT_FALSE(RebootLeftUndone(0x22030003, false));
  EXPECT_TRUE(RebootLeftUndone(1, true));              // autonomic: delayed reboot
  EXPECT_FALSE(RebootLeftUndone(0, true));
  EXPECT_FALSE(RebootLeftUndone(6, true));
  EXPECT_FALSE(RebootLeftUndone(0x100000, true));
}

class WriteRebootMarkerTest : public testing::Test {
 protected:
  int Write() { return WriteRebootMarker(dir_.path().c_str(), what_, sizeof(what_)); }
  std::string Marker() const { return dir_ / "reboot-required"; }
  std::string List() const { return dir_ / "reboot-required.pkgs"; }

  ScopedTempDir dir_;
  char what_[512] = "";
};

TEST_F(WriteRebootMarkerTest, CreatesBothAndListsQuillonOnce) {
  ASSERT_EQ(0, Write());
  EXPECT_EQ("", ReadFile(Marker()));
  EXPECT_EQ("quillon\n", ReadFile(List()));
  struct stat st;
  ASSERT_EQ(0, stat(Marker().c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 07777);
  ASSERT_EQ(0, Write());
  EXPECT_EQ("quillon\n", ReadFile(List()));

  // Other packages' lines are kept; a last line without its line feed
  // gets one; a longer name that begins with "quillon" is not ours.
  WriteFile(List(), "linux-image\nquillon-tools");
  WriteFile(Marker(), "");
  ASSERT_EQ(0, Write());
  EXPECT_EQ("linux-image\nquillon-tools\nquillon\n", ReadFile(List()));
  WriteFile(List(), "libc6\nquillon\nudev\n");
  ASSERT_EQ(0, Write());
  EXPECT_EQ("libc6\nquillon\nudev\n", ReadFile(List()));
}

// Links planted at either name are not followed; every failure names its
// file.
TEST_F(WriteRebootMarkerTest, PlantedLinksAndAMissingDirectoryFail) {
  EXPECT_EQ(ENOENT, WriteRebootMarker((dir_ / "none").c_str(), what_, sizeof(what_)));
  EXPECT_TRUE(Contains(what_, "/none/reboot-required"));

  ScopedTempDir elsewhere;
  WriteFile(elsewhere / "target", "keep");
  ASSERT_EQ(0, symlink((elsewhere / "target").c_str(), Marker().c_str()));
  EXPECT_EQ(ELOOP, Write());
  EXPECT_TRUE(Contains(what_, "reboot-required: is a symbolic link"));
  EXPECT_EQ("keep", ReadFile(elsewhere / "target"));
  EXPECT_FALSE(Exists(List()));

  ASSERT_EQ(0, unlink(Marker().c_str()));
  ASSERT_EQ(0, symlink((elsewhere / "target").c_str(), List().c_str()));
  EXPECT_EQ(ELOOP, Write());
  EXPECT_EQ("keep", ReadFile(elsewhere / "target"));

  // A second name of a file elsewhere (a hard link) is refused too.
  ASSERT_EQ(0, unlink(List().c_str()));
  ASSERT_EQ(0, link((elsewhere / "target").c_str(), List().c_str()));
  EXPECT_EQ(EPERM, Write());
  EXPECT_EQ("keep", ReadFile(elsewhere / "target"));
}

// Runs of the test build in local mode (px.arg in the package directory),
// its marker in markers/ (the variable of the seam, given per run).
class RebootMarkerE2ETest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, mkdir(pkg_.c_str(), 0755));
    ASSERT_EQ(0, mkdir(markers_.c_str(), 0755));
    ASSERT_EQ(0, mkdir((t_ + "/src").c_str(), 0755));  // nothing to stage
  }
  ProgramResult Run(const std::vector<std::string>& lines, const std::vector<std::string>& args,
                    const std::string& markers) {
    WriteFile(pkg_ + "/px.arg", ArgText(lines));
    ProgramOptions options;
    options.cwd = t_;
    options.env = {"QUILLON_REBOOT_MARKER_DIR=" + markers, "QUILLON_SYSTEM_LOG=" + syslog_};
    return RunProgram(kQuillon, args, options);
  }
  ProgramResult RunLocal(const std::vector<std::string>& lines) {
    return Run(lines, {pkg_}, markers_);
  }
  bool Marked() const { return Exists(markers_ + "/reboot-required"); }

  ScopedTempDir tmp_;
  const std::string t_ = tmp_.path(), pkg_ = t_ + "/pkg", markers_ = t_ + "/markers";
  const std::string syslog_ = t_ + "/system.log";  // what would go to syslog
};

// A run writes the marker exactly when it leaves a reboot undone; a marker
// that cannot be written changes nothing of the run.
TEST_F(RebootMarkerE2ETest, WrittenForDelayedAndSuppressedRebootsOnlyFailingHarmlessly) {
  // Plain success and an abort: no marker.
  EXPECT_EQ(0, RunLocal({"[Commands]", "0 000 true", "[End]"}).exit_status);
  EXPECT_FALSE(Marked());
  EXPECT_EQ(2, RunLocal({"[Commands]", "0 000 flag abort_ne 0", "0 000 false", "[End]"})
                   .exit_status);
  EXPECT_FALSE(Marked());
  EXPECT_FALSE(Exists(markers_ + "/reboot-required.pkgs"));

  // A reboot handed to the reboot program (classic mode): carried out.
  std::vector<std::string> reboot = {"[Runtime]", "FWPATH=" + t_ + "/src", "[Commands]",
                                     "0 000 flag Reboot", "0 000 true", "[End]"};
  EXPECT_EQ(5, Run(reboot, {t_, "pkg/px.arg"}, markers_).exit_status);
  EXPECT_FALSE(Marked());

  // Suppressed (local mode never reboots): 6 and the marker.
  EXPECT_EQ(6, RunLocal({"[Commands]", "0 000 flag Reboot", "0 000 true", "[End]"}).exit_status);
  EXPECT_TRUE(Marked());
  EXPECT_EQ("", ReadFile(markers_ + "/reboot-required"));
  EXPECT_EQ("quillon\n", ReadFile(markers_ + "/reboot-required.pkgs"));

  // Delayed, in a second run: still listed once. Classic mode with "-d":
  // the final code's line on standard output too, and nothing else.
  ASSERT_EQ(0, unlink((markers_ + "/reboot-required").c_str()));
  const std::vector<std::string> delayed = {"[Runtime]", "FWPATH=" + t_ + "/src", "[Commands]",
                                            "0 000 flag Delayed", "0 000 true", "[End]"};
  const std::vector<std::string> args = {t_, "pkg/px.arg", "-d"};
  const std::string log = t_ + "/Quillon.log";
  ASSERT_EQ(0, unlink(log.c_str()));
  ProgramResult good = Run(delayed, args, markers_);
  EXPECT_EQ(0, good.exit_status);  // 0x100000: its low 8 bits
  std::string goodLog = NormalizeLog(ReadFile(log));
  EXPECT_TRUE(Marked());
  EXPECT_EQ("quillon\n", ReadFile(markers_ + "/reboot-required.pkgs"));
  ASSERT_EQ(0, unlink(log.c_str()));

  // The marker's directory is a regular file: nothing can be written there.
  WriteFile(t_ + "/notadir", "");
  ProgramResult bad = Run(delayed, args, t_ + "/notadir");
  EXPECT_EQ(good.exit_status, bad.exit_status);
  EXPECT_EQ("Quillon return code: 0x100000\n", bad.out);
  EXPECT_EQ(good.out, bad.out);
  EXPECT_EQ(good.err, bad.err);
  EXPECT_EQ(goodLog, NormalizeLog(ReadFile(log)));
  EXPECT_EQ("Status=5\nRetval=1048576", ReadFile(pkg_ + "/HandlerStatus.txt"));
  EXPECT_EQ("", ReadFile(t_ + "/notadir"));
  EXPECT_EQ(0u, ReadFile(syslog_).find("Quillon: reboot required (final code 0x100000), but "
                                       "the marker could not be written: "))
      << ReadFile(syslog_);

  // A link planted at the marker: the run ends the same and the link's
  // target is not written.
  ASSERT_EQ(0, unlink((markers_ + "/reboot-required").c_str()));
  WriteFile(t_ + "/victim", "x");
  ASSERT_EQ(0, symlink((t_ + "/victim").c_str(), (markers_ + "/reboot-required").c_str()));
  ASSERT_EQ(0, unlink(log.c_str()));
  ProgramResult linked = Run(delayed, args, markers_);
  EXPECT_EQ(good.exit_status, linked.exit_status);
  EXPECT_EQ(good.out, linked.out);
  EXPECT_EQ(goodLog, NormalizeLog(ReadFile(log)));
  EXPECT_EQ("x", ReadFile(t_ + "/victim"));
}

}  // namespace
}  // namespace quillon_test
