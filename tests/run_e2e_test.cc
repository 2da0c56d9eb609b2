// End-to-end runs of the real binary in temporary directories: exit status,
// status files, run log and argument file compared byte for byte.

#include <set>

#include "test_util.h"

namespace quillon_test {
namespace {

// The test build: its reboot program is a fake in the build tree and its
// run locks are in QUILLON_RUN_LOCK_DIR (run_lock_test.cc).
const std::string kQuillon = std::string(QUILLON_BIN_DIR) + "/Quillon_fakereboot";

// One time-stamped run-log line.
std::string L(const std::string& text) { return "\n<TS>\t" + text; }

std::string Header(const std::vector<std::string>& argv, const std::string& wd) {
  const std::string stars(78, '*');
  std::string text = "\n\n*********+*********+*********+*********+*********+**********+**********"
                     "+******\n**       Quillon V3.03.05 Log <TS>\n" + stars;
  for (size_t i = 0; i < argv.size(); ++i)
    text += "\n** Arg [" + std::to_string(i) + "]: " + argv[i];
  return text + "\n** working directory: \"" + wd + "\"\n" + stars;
}

std::string StatusLine(const std::string& dir, int st, const std::string& ret) {
  return L("Update status file \"" + dir + "/HandlerStatus.txt\": Exit Status: " +
           std::to_string(st) + ", Return Code: " + ret);
}

std::string Status(int st, const std::string& ret) {
  return "Status=" + std::to_string(st) + "\nRetval=" + ret;
}

std::string Cmd(const std::string& cmd) {
  return L("exec command <" + cmd + ">") + L(" . . . returned 0") +
         L("Executed command: \"" + cmd + "\" Retcode: 0");
}

// The last lines of a run that read `arg` to its end in `dir`.
std::string Finish(const std::string& arg, const std::string& dir, const std::string& ret,
                   const std::string& code) {
  return L("Finished reading argument file \"" + arg + "\"") + StatusLine(dir, 5, ret) +
         L("Quillon return code: " + code);
}

// The log from the choice of the command section on.
std::string FromSection(const std::string& log) { return log.substr(log.rfind(L("Use "))); }

class RunE2ETest : public testing::Test {
 protected:
  void SetUp() override {
    mkdir((t_ + "/src").c_str(), 0755);
    mkdir(pkg_.c_str(), 0755);
  }
  ProgramResult Run(const std::vector<std::string>& args, const std::string& program = kQuillon,
                    ProgramOptions options = ProgramOptions()) {
    options.cwd = t_;
    return RunProgram(program, args, options);
  }
  std::string Log(const std::string& dir) { return NormalizeLog(ReadFile(dir + "/Quillon.log")); }
  std::string Runtime() { return "[Runtime]\r\n# built for test\r\nFWPATH=" + t_ + "/src\r\n"; }

  ScopedTempDir tmp_;
  const std::string t_ = tmp_.path(), pkg_ = t_ + "/pkg";
};

TEST_F(RunE2ETest, LocalMode) {
  WriteFile(pkg_ + "/px.arg", ArgText({"[Commands]", "0 000 echo local > out.txt", "[End]"}));
  ProgramResult r = Run({pkg_});
  EXPECT_EQ(0, r.exit_status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(Status(5, "0"), ReadFile(pkg_ + "/HandlerStatus.txt"));
  EXPECT_FALSE(Exists(t_ + "/HandlerStatus.txt"));
  EXPECT_EQ("local\n", ReadFile(pkg_ + "/out.txt"));
  EXPECT_EQ(ArgText({"[Commands]", "1 000 echo local > out.txt", "[End]"}),
            ReadFile(pkg_ + "/px.arg"));
  EXPECT_EQ(Header({kQuillon, pkg_}, pkg_) + StatusLine(pkg_, 3, "0") +
                L("Open argument file \"" + pkg_ + "/px.arg\"") +
                L("Start reading argument file \"" + pkg_ + "/px.arg\"") +
                L("Use command section [Commands]") + Cmd("echo local > out.txt") +
                Finish(pkg_ + "/px.arg", pkg_, "0", "0x0"),
            Log(pkg_));

  // A key inside an earlier line is found there: its section ends at once.
  WriteFile(pkg_ + "/px.arg", ArgText({"# [Commands] here", "[Commands]", "0 000 echo > x"}));
  EXPECT_EQ(0, Run({pkg_}).exit_status);
  EXPECT_FALSE(Exists(pkg_ + "/x"));
}

TEST_F(RunE2ETest, ClassicModeStagesAndNotesDelayedReboot) {
  std::string script = "echo installed > done.txt\n";
  for (char& c : script) c = static_cast<char>(((c << 4) | ((c >> 4) & 0x0F)) & 0xFF);
  WriteFile(t_ + "/src/inst.sh", script + "#PELK_ROW#");  // scrambled
  WriteFile(t_ + "/src/tool.exe", "#!/bin/sh\n");
  auto lines = [](std::string m) {
    return ArgText({"[Commands]", "0 000 echo wrong > wrong.txt", "[UpdCommands]",
                    m + " 000 flag abort_ne 0 Delayed", m + " 000 sh inst.sh",
                    m + " 000 stat -c %a tool.exe > mode.txt", "[End]"});
  };
  WriteFile(pkg_ + "/px.arg", Runtime() + lines("0"));
  EXPECT_EQ(0, Run({t_, "pkg/px.arg", "-update"}).exit_status);
  EXPECT_EQ(Status(3, "0"), ReadFile(t_ + "/HandlerStatus.txt"));
  EXPECT_EQ(Status(5, "1048576"), ReadFile(pkg_ + "/HandlerStatus.txt"));
  EXPECT_EQ("installed\n", ReadFile(pkg_ + "/done.txt"));
  EXPECT_EQ("700\n", ReadFile(pkg_ + "/mode.txt"));
  EXPECT_FALSE(Exists(pkg_ + "/inst.sh") || Exists(pkg_ + "/tool.exe") ||
               Exists(pkg_ + "/wrong.txt") || Exists(pkg_ + "/HandlerStatus.txt.new"));
  EXPECT_EQ(Runtime() + lines("1"), ReadFile(pkg_ + "/px.arg"));
  EXPECT_EQ(Header({kQuillon, t_, "pkg/px.arg", "-update"}, t_) + StatusLine(t_, 3, "0") +
                L("Open argument file \"" + t_ + "/pkg/px.arg\"") +
                L("basic parameters:\nExecPath : pkg\nFwPath : " + t_ + "/src\nNumberOfFiles : 2") +
                L("Copy file from \"" + t_ + "/src/tool.exe\" to \"pkg/tool.exe\"") +
                L("Copy file from \"" + t_ + "/src/inst.sh\" to \"pkg/inst.sh\"") +
                L("current working directory is different from execution directory - change "
                  "working directory to \"pkg\"...") +
                L("... working directory was changed to \"" + t_ + "/pkg\"") +
                L("Start reading argument file \"" + t_ + "/pkg/pkg/px.arg\"") +
                L("Use command section [UpdCommands]") + Cmd("flag abort_ne 0 Delayed") +
                Cmd("sh inst.sh") + Cmd("stat -c %a tool.exe > mode.txt") +
                L("Finished reading argument file \"" + t_ + "/pkg/pkg/px.arg\"") +
                L("delete file 'tool.exe' returns 0") + L("delete file 'inst.sh' returns 0") +
                StatusLine(pkg_, 5, "1048576") + L("Quillon return code: 0x100000"),
            Log(t_));

  // A handler error (the text ends inside the last section) keeps the
  // staged files and still adds the delayed bit.
  WriteFile(pkg_ + "/px.arg",
            Runtime() + ArgText({"[Commands]", "0 000 flag Delayed", "0 000 true"}));
  EXPECT_EQ(3, Run({t_, "pkg/px.arg"}).exit_status);
  EXPECT_EQ(Status(5, "571670531"), ReadFile(pkg_ + "/HandlerStatus.txt"));
  EXPECT_EQ("#!/bin/sh\n", ReadFile(pkg_ + "/tool.exe"));
  EXPECT_EQ(L("Use command section [Commands]") + Cmd("flag Delayed") + Cmd("true") +
                L("ERROR : corrupted arg file") + L("caught exception 570621955") +
                StatusLine(pkg_, 5, "571670531") + L("Quillon return code: 0x22130003"),
            FromSection(Log(t_)));
}

TEST_F(RunE2ETest, NoArgumentUnopenableAndEmptyArgumentFile) {
  EXPECT_EQ(3, Run({}).exit_status);
  EXPECT_EQ(Status(5, "570621955"), ReadFile(t_ + "/HandlerStatus.txt"));
  EXPECT_FALSE(Exists(t_ + "/Quillon.log"));

  EXPECT_EQ(3, Run({pkg_}).exit_status);  // no px.arg: the run ends at once
  EXPECT_EQ(Status(5, "570621955"), ReadFile(pkg_ + "/HandlerStatus.txt"));
  const std::string start = Header({kQuillon, pkg_}, pkg_) + StatusLine(pkg_, 3, "0") +
                            L("Open argument file \"" + pkg_ + "/px.arg\"");
  EXPECT_EQ(start + L("open argument file 'px.arg' returned error 2"), Log(pkg_));

  unlink((pkg_ + "/Quillon.log").c_str());
  WriteFile(pkg_ + "/px.arg", "");
  EXPECT_EQ(3, Run({pkg_}).exit_status);
  EXPECT_EQ(start + L("ERROR 22 creating file view") + L("caught exception 570621955") +
                StatusLine(pkg_, 5, "570621955") + L("Quillon return code: 0x22030003"),
            Log(pkg_));
}

TEST_F(RunE2ETest, ExpertFallbackAndModePrefixes) {
  auto lines = [](std::string m) {
    return ArgText({"[Commands]", m + " 000 update echo u >> trail.txt",
                    m + " 000 force echo f >> trail.txt", "[End]"});
  };
  WriteFile(t_ + "/px.arg", Runtime() + lines("0"));
  EXPECT_EQ(0, Run({t_, "px.arg", "-expert"}).exit_status);
  EXPECT_EQ("f\n", ReadFile(t_ + "/trail.txt"));
  EXPECT_EQ(Runtime() + lines("1"), ReadFile(t_ + "/px.arg"));
  // Argument 2 without "/": the execution directory is "./".
  const std::string log = Log(t_);
  EXPECT_NE(std::string::npos, log.find(L("basic parameters:\nExecPath : ./\nFwPath : ")));
  EXPECT_NE(std::string::npos,
            log.find(L("ERROR : Start key [ExpCommands] of command section not found") +
                     L("Use fallback command section [Commands] for expert mode") +
                     L("exec command <echo u >> trail.txt>") + L(" . . . skipped 0")));

  // An update run skips the force lines; an abort (result 2) keeps the
  // staged files.
  WriteFile(t_ + "/src/staged.txt", "s");
  auto upd = [](std::string m, std::string ret) {
    return ArgText({"[UpdCommands]", m + " 000 force echo F >> t2", m + " 000 update echo U >> t2",
                    m + " 000 flag abort_ne 0", m + " " + ret + " update exit 7",
                    "0 000 echo never >> t2", "[End]"});
  };
  WriteFile(pkg_ + "/px.arg", Runtime() + upd("0", "000"));
  EXPECT_EQ(2, Run({t_, "pkg/px.arg", "-update"}).exit_status);
  EXPECT_EQ("U\n", ReadFile(pkg_ + "/t2"));
  EXPECT_EQ("s", ReadFile(pkg_ + "/staged.txt"));
  EXPECT_EQ(Runtime() + upd("1", "007"), ReadFile(pkg_ + "/px.arg"));

  WriteFile(pkg_ + "/px.arg", Runtime() + ArgText({"[Other]"}));  // neither section
  EXPECT_EQ(3, Run({t_, "pkg/px.arg", "-expert"}).exit_status);
  EXPECT_NE(std::string::npos,
            Log(t_).find(L("ERROR : Expert mode fallback start key [Commands] of command section "
                           "not found") + L("caught exception 570621955")));

  // "-d" lines from the argument file's reader reach the caller's output.
  WriteFile(pkg_ + "/px.arg", ArgText({"[Commands]", "[End]"}));  // no [Runtime]
  EXPECT_EQ("Can not find RUNTIMESECTIONQuillon return code: 0x22030003\n",
            Run({t_, "pkg/px.arg", "-d"}).out);
}

TEST_F(RunE2ETest, RebootRequestThenResume) {
  auto lines = [](std::string m) {
    return ArgText({"[Commands]", m + " 000 echo one >> trail.txt", m + " 000 flag Reboot",
                    m + " 000 echo two >> trail.txt", "0 000 echo three >> trail.txt", "[End]"});
  };
  WriteFile(pkg_ + "/px.arg", Runtime() + lines("0"));
  EXPECT_EQ(5, Run({t_, "pkg/px.arg"}).exit_status);
  EXPECT_EQ(Status(4, "5"), ReadFile(pkg_ + "/HandlerStatus.txt"));
  EXPECT_EQ("0 Reboot for a Firmware flash\n", ReadFile(pkg_ + "/fake_help2.calls"));
  EXPECT_EQ("one\ntwo\n", ReadFile(pkg_ + "/trail.txt"));
  EXPECT_EQ(Runtime() + lines("1"), ReadFile(pkg_ + "/px.arg"));
  EXPECT_EQ(L("Use command section [Commands]") + Cmd("echo one >> trail.txt") +
                Cmd("flag Reboot") + L("exec command <echo two >> trail.txt>") +
                StatusLine(pkg_, 4, "0") + L(" . . . returned 0") +
                L("Executed command: \"echo two >> trail.txt\" Retcode: 5") +
                StatusLine(pkg_, 4, "5") + L("Quillon return code: 0x5"),
            FromSection(Log(t_)));

  // After the restart: the lines marked 1 are passed over.
  EXPECT_EQ(0, Run({t_, "pkg/px.arg"}).exit_status);
  EXPECT_EQ(Status(5, "0"), ReadFile(pkg_ + "/HandlerStatus.txt"));
  EXPECT_EQ("one\ntwo\nthree\n", ReadFile(pkg_ + "/trail.txt"));
  EXPECT_EQ(L("Use command section [Commands]") + Cmd("echo three >> trail.txt") +
                Finish(t_ + "/pkg/pkg/px.arg", pkg_, "0", "0x0"),
            FromSection(Log(t_)));

  // "-n" and local mode never reboot.
  WriteFile(pkg_ + "/px.arg", Runtime() + lines("0"));
  EXPECT_EQ(6, Run({t_, "pkg/px.arg", "-n"}).exit_status);
  EXPECT_EQ(Status(5, "6"), ReadFile(pkg_ + "/HandlerStatus.txt"));
  EXPECT_EQ(1u, Count(ReadFile(pkg_ + "/fake_help2.calls"), "\n"));
  WriteFile(t_ + "/px.arg", ArgText({"[Commands]", "0 000 flag Reboot", "0 000 true", "[End]"}));
  EXPECT_EQ(6, Run({t_}).exit_status);
  EXPECT_FALSE(Exists(t_ + "/fake_help2.calls"));
}

TEST_F(RunE2ETest, AutonomicMode) {
  ASSERT_EQ(0, symlink(kQuillon.c_str(), (pkg_ + "/Quillon").c_str()));
  WriteFile(pkg_ + "/px.arg",
            ArgText({"[Runtime]", "FWPATH=ignored", "[Commands]", "0 000 flag abort_ne 0",
                     "0 000 exit 3", "[UpdCommands]", "0 000 flag pkg_missing 21 abort_ne 0",
                     "0 000 exit 21", "0 000 flag abort_ne 0", "0 000 exit 4", "[End]"}));
  // Working directory from the program's path; abort 2 is reported as 8.
  EXPECT_EQ(8, Run({"autonomic", "-force"}, pkg_ + "/Quillon").exit_status);
  EXPECT_EQ(Status(5, "8"), ReadFile(pkg_ + "/HandlerStatus.txt"));
  EXPECT_FALSE(Exists(pkg_ + "/Quillon.log") || Exists(t_ + "/Quillon.log"));
  EXPECT_NE(std::string::npos, ReadFile(pkg_ + "/px.arg")
                                   .find("[Commands]\r\n1 000 flag abort_ne 0\r\n1 003 exit 3\r\n"
                                         "[UpdCommands]\r\n0 000"));

  // A condition turns the later abort into 0 and becomes the final code.
  ProgramResult r = Run({"AUTONOMIC", "-update", "-d", "kbxmode"}, pkg_ + "/Quillon");
  EXPECT_EQ(21, r.exit_status);
  EXPECT_EQ("Quillon return code: 0x15\n", r.out);
  EXPECT_EQ(Status(5, "21"), ReadFile(pkg_ + "/HandlerStatus.txt"));
  EXPECT_NE(std::string::npos, Log(pkg_).find(L("Executed command: \"exit 4\" Retcode: 0")));
  EXPECT_TRUE(Exists(pkg_ + "/px.arg"));  // nothing of the package is deleted

  // "kbxmode" as argument 1 names a working directory of that name.
  mkdir((t_ + "/kbxmode").c_str(), 0755);
  WriteFile(t_ + "/kbxmode/px.arg", ArgText({"[Runtime]", "FWPATH=x", "[Commands]", "[End]"}));
  EXPECT_EQ(0, Run({"kbxmode", "-force"}).exit_status);
  EXPECT_EQ(Status(5, "0"), ReadFile(t_ + "/kbxmode/HandlerStatus.txt"));
}

TEST_F(RunE2ETest, VersionAndUsage) {
  ProgramResult r = Run({"/w", "-v", "-h"});
  EXPECT_EQ(0, r.exit_status);
  EXPECT_EQ("3.3.5.0\n", r.out);
  r = Run({"-help"});
  EXPECT_EQ(0, r.exit_status);
  EXPECT_EQ(0u, r.out.find("USAGE :\n\t" + kQuillon + "\t-v|--version\t\t\tprint version\n"));
  EXPECT_FALSE(Exists(t_ + "/HandlerStatus.txt") || Exists(t_ + "/Quillon.log"));
}

TEST_F(RunE2ETest, CommandsInheritOnlyDevNullAndTheOutputFile) {
  WriteFile(t_ + "/px.arg", Runtime() + ArgText({"[Commands]",
                                                 "0 000 find /proc/$$/fd -mindepth 1 -printf "
                                                 "'%f %l\\n' > fds.txt", "[End]"}));
  ProgramOptions options;
  options.extra_fds = {{5, t_ + "/five.txt"}, {7, t_ + "/seven.txt"}, {300, t_ + "/high.txt"}};
  EXPECT_EQ(0, Run({t_, "px.arg", "-d"}, kQuillon, options).exit_status);
  // The shell's own descriptors: 0 on /dev/null, 2 the run's output file,
  // 1 the redirection (the shell may keep the original 1, the output
  // file, on a saved copy).
  std::istringstream listing(ReadFile(t_ + "/fds.txt"));
  std::set<int> fds;
  std::string target;
  for (int fd; listing >> fd >> target; fds.insert(fd)) {
    EXPECT_EQ(fd == 0 ? "/dev/null" : fd == 1 ? t_ + "/fds.txt" : t_ + "/Quillon.out", target)
        << fd;
    EXPECT_TRUE(fd != 5 && fd != 7 && fd != 300 && fd < 256) << fd;
  }
  EXPECT_TRUE(fds.count(0) && fds.count(1) && fds.count(2));
}

}  // namespace
}  // namespace quillon_test
