// End-to-end runs of the real binary in temporary directories: exit status,
// status files, run log and argument file compared byte for byte.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using quillon_test::ArgText;
using quillon_test::Exists;
using quillon_test::NormalizeLog;
using quillon_test::ProgramOptions;
using quillon_test::ProgramResult;
using quillon_test::ReadFile;
using quillon_test::WriteFile;

const std::string kQuillon = std::string(QUILLON_BIN_DIR) + "/Quillon";
const std::string kFakeReboot = std::string(QUILLON_BIN_DIR) + "/Quillon_fakereboot";
const std::string kStars(78, '*');

// One time-stamped run-log line.
std::string L(const std::string& text) { return "\n<TS>\t" + text; }

std::string Header(const std::vector<std::string>& argv, const std::string& wd) {
  std::string text =
      "\n\n*********+*********+*********+*********+*********+**********+**********+******"
      "\n**       Quillon V3.03.05 Log <TS>\n" +
      kStars;
  for (size_t i = 0; i < argv.size(); ++i)
    text += "\n** Arg [" + std::to_string(i) + "]: " + argv[i];
  return text + "\n** working directory: \"" + wd + "\"\n" + kStars;
}

std::string StatusLine(const std::string& dir, int st, const std::string& ret) {
  return L("Update status file \"" + dir +
           "/HandlerStatus.txt\": Exit Status: " + std::to_string(st) + ", Return Code: " + ret);
}

std::string Status(int st, const std::string& ret) {
  return "Status=" + std::to_string(st) + "\nRetval=" + ret;
}

std::string Cmd(const std::string& cmd, int rc, int ret) {
  return L("exec command <" + cmd + ">") + L(" . . . returned " + std::to_string(rc)) +
         L("Executed command: \"" + cmd + "\" Retcode: " + std::to_string(ret));
}

class RunE2ETest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp_.path().empty());
    mkdir((tmp_ / "src").c_str(), 0755);
    mkdir((tmp_ / "pkg").c_str(), 0755);
  }
  ProgramResult Run(const std::vector<std::string>& args, const std::string& program = kQuillon,
                    ProgramOptions options = ProgramOptions()) {
    options.cwd = tmp_.path();
    return quillon_test::RunProgram(program, args, options);
  }
  std::string Log(const std::string& dir) { return NormalizeLog(ReadFile(dir + "/Quillon.log")); }
  // The lines of a classic run up to the section key: argument file
  // pkg/px.arg, package directory src holding the files `copies`.
  std::string ClassicStart(const std::vector<std::string>& argv,
                           const std::vector<std::string>& copies) {
    const std::string& t = tmp_.path();
    std::string text = Header(argv, t) + StatusLine(t, 3, "0") +
                       L("Open argument file \"" + t + "/pkg/px.arg\"") +
                       L("basic parameters:\nExecPath : pkg\nFwPath : " + t +
                         "/src\nNumberOfFiles : " + std::to_string(copies.size()));
    for (const std::string& name : copies)
      text += L("Copy file from \"" + t + "/src/" + name + "\" to \"pkg/" + name + "\"");
    return text +
           L("current working directory is different from execution directory - change working "
             "directory to \"pkg\"...") +
           L("... working directory was changed to \"" + t + "/pkg\"") +
           L("Start reading argument file \"" + t + "/pkg/pkg/px.arg\"");
  }
  std::string Runtime() {
    return "[Runtime]\r\n# package built for test\r\nFWPATH=" + (tmp_ / "src") + "\r\n";
  }

  quillon_test::ScopedTempDir tmp_;
};

TEST_F(RunE2ETest, LocalMode) {
  const std::string work = tmp_ / "pkg";
  WriteFile(work + "/px.arg", ArgText({"[Commands]", "0 000 echo local > out.txt", "[End]"}));
  ProgramResult r = Run({work});
  EXPECT_EQ(0, r.exit_status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(Status(5, "0"), ReadFile(work + "/HandlerStatus.txt"));
  EXPECT_FALSE(Exists(tmp_ / "HandlerStatus.txt"));
  EXPECT_EQ("local\n", ReadFile(work + "/out.txt"));
  EXPECT_EQ(ArgText({"[Commands]", "1 000 echo local > out.txt", "[End]"}),
            ReadFile(work + "/px.arg"));
  EXPECT_EQ(Header({kQuillon, work}, work) + StatusLine(work, 3, "0") +
                L("Open argument file \"" + work + "/px.arg\"") +
                L("Start reading argument file \"" + work + "/px.arg\"") +
                L("Use command section [Commands]") + Cmd("echo local > out.txt", 0, 0) +
                L("Finished reading argument file \"" + work + "/px.arg\"") +
                StatusLine(work, 5, "0") + L("Quillon return code: 0x0"),
            Log(work));

  // A key inside an earlier line is found there: its section ends at once.
  WriteFile(work + "/px.arg",
            ArgText({"# [Commands] follow", "[Commands]", "0 000 echo x > x", "[End]"}));
  EXPECT_EQ(0, Run({work}).exit_status);
  EXPECT_FALSE(Exists(work + "/x"));
}

TEST_F(RunE2ETest, ClassicModeStagesAndNotesDelayedReboot) {
  std::string script = "echo installed > done.txt\n";
  for (char& c : script) c = static_cast<char>(((c << 4) | ((c >> 4) & 0x0F)) & 0xFF);
  WriteFile(tmp_ / "src/inst.sh", script + "#PELK_ROW#");  // scrambled
  WriteFile(tmp_ / "src/tool.exe", "#!/bin/sh\n");
  const std::string arg =
      Runtime() + ArgText({"[Commands]", "0 000 echo wrong > wrong.txt", "[UpdCommands]",
                           "0 000 flag abort_ne 0 Delayed", "0 000 sh inst.sh",
                           "0 000 stat -c %a tool.exe > mode.txt", "[End]"});
  WriteFile(tmp_ / "pkg/px.arg", arg);
  ProgramResult r = Run({tmp_.path(), "pkg/px.arg", "-update"});
  EXPECT_EQ(0, r.exit_status);
  EXPECT_EQ(Status(3, "0"), ReadFile(tmp_ / "HandlerStatus.txt"));
  EXPECT_EQ(Status(5, "1048576"), ReadFile(tmp_ / "pkg/HandlerStatus.txt"));
  EXPECT_EQ("installed\n", ReadFile(tmp_ / "pkg/done.txt"));
  EXPECT_EQ("700\n", ReadFile(tmp_ / "pkg/mode.txt"));
  EXPECT_FALSE(Exists(tmp_ / "pkg/inst.sh") || Exists(tmp_ / "pkg/tool.exe") ||
               Exists(tmp_ / "pkg/wrong.txt") || Exists(tmp_ / "pkg/HandlerStatus.txt.new"));
  EXPECT_EQ(Runtime() + ArgText({"[Commands]", "0 000 echo wrong > wrong.txt", "[UpdCommands]",
                                 "1 000 flag abort_ne 0 Delayed", "1 000 sh inst.sh",
                                 "1 000 stat -c %a tool.exe > mode.txt", "[End]"}),
            ReadFile(tmp_ / "pkg/px.arg"));
  const std::string t = tmp_.path();
  EXPECT_EQ(ClassicStart({kQuillon, t, "pkg/px.arg", "-update"}, {"tool.exe", "inst.sh"}) +
                L("Use command section [UpdCommands]") + Cmd("flag abort_ne 0 Delayed", 0, 0) +
                Cmd("sh inst.sh", 0, 0) + Cmd("stat -c %a tool.exe > mode.txt", 0, 0) +
                L("Finished reading argument file \"" + t + "/pkg/pkg/px.arg\"") +
                L("delete file 'tool.exe' returns 0") + L("delete file 'inst.sh' returns 0") +
                StatusLine(t + "/pkg", 5, "1048576") + L("Quillon return code: 0x100000"),
            Log(t));
}

TEST_F(RunE2ETest, HandlerErrorKeepsStagedFilesAndAddsDelayedBit) {
  WriteFile(tmp_ / "src/keep.txt", "k");
  // The section is the last one: the text ends inside it.
  WriteFile(tmp_ / "pkg/px.arg",
            Runtime() + ArgText({"[Commands]", "0 000 flag Delayed", "0 000 true"}));
  ProgramResult r = Run({tmp_.path(), "pkg/px.arg"});
  EXPECT_EQ(3, r.exit_status);
  EXPECT_EQ(Status(5, "571670531"), ReadFile(tmp_ / "pkg/HandlerStatus.txt"));
  EXPECT_EQ("k", ReadFile(tmp_ / "pkg/keep.txt"));
  const std::string t = tmp_.path();
  EXPECT_EQ(ClassicStart({kQuillon, t, "pkg/px.arg"}, {"keep.txt"}) +
                L("Use command section [Commands]") + Cmd("flag Delayed", 0, 0) +
                Cmd("true", 0, 0) + L("ERROR : corrupted arg file") +
                L("caught exception 570621955") + StatusLine(t + "/pkg", 5, "571670531") +
                L("Quillon return code: 0x22130003"),
            Log(t));
}

TEST_F(RunE2ETest, NoArgumentUnopenableAndEmptyArgumentFile) {
  ProgramResult r = Run({});
  EXPECT_EQ(3, r.exit_status);
  EXPECT_EQ(Status(5, "570621955"), ReadFile(tmp_ / "HandlerStatus.txt"));
  EXPECT_FALSE(Exists(tmp_ / "Quillon.log"));

  const std::string work = tmp_ / "pkg";
  r = Run({work});  // no px.arg: the run ends at once, without the finish
  EXPECT_EQ(3, r.exit_status);
  EXPECT_EQ(Status(5, "570621955"), ReadFile(work + "/HandlerStatus.txt"));
  const std::string start = Header({kQuillon, work}, work) + StatusLine(work, 3, "0") +
                            L("Open argument file \"" + work + "/px.arg\"");
  EXPECT_EQ(start + L("open argument file 'px.arg' returned error 2"), Log(work));

  unlink((work + "/Quillon.log").c_str());
  WriteFile(work + "/px.arg", "");
  r = Run({work});
  EXPECT_EQ(3, r.exit_status);
  EXPECT_EQ(start + L("ERROR 22 creating file view") + L("caught exception 570621955") +
                StatusLine(work, 5, "570621955") + L("Quillon return code: 0x22030003"),
            Log(work));
}

TEST_F(RunE2ETest, ExpertFallbackAndModePrefixes) {
  const std::string t = tmp_.path();
  WriteFile(t + "/px.arg", Runtime() + ArgText({"[Commands]", "0 000 update echo u >> trail.txt",
                                                "0 000 force echo f >> trail.txt", "[End]"}));
  ProgramResult r = Run({t, "px.arg", "-expert"});
  EXPECT_EQ(0, r.exit_status);
  EXPECT_EQ("f\n", ReadFile(t + "/trail.txt"));
  EXPECT_EQ(Runtime() + ArgText({"[Commands]", "1 000 update echo u >> trail.txt",
                                 "1 000 force echo f >> trail.txt", "[End]"}),
            ReadFile(t + "/px.arg"));
  // Argument 2 without "/": the execution directory "./" differs from the
  // absolute current directory as a text, so the change is logged.
  EXPECT_NE(
      std::string::npos,
      Log(t).find(L("basic parameters:\nExecPath : ./\nFwPath : " + t + "/src\nNumberOfFiles : 0") +
                  L("current working directory is different from execution directory - change "
                    "working directory to \"./\"...") +
                  L("... working directory was changed to \"" + t + "\"") +
                  L("Start reading argument file \"" + t + "/px.arg\"") +
                  L("ERROR : Start key [ExpCommands] of command section not found") +
                  L("Use fallback command section [Commands] for expert mode") +
                  L("exec command <echo u >> trail.txt>") + L(" . . . skipped 0")));

  // An update run skips the force lines; an abort (result 2) keeps the
  // staged files.
  WriteFile(t + "/src/staged.txt", "s");
  WriteFile(t + "/pkg/px.arg",
            Runtime() + ArgText({"[UpdCommands]", "0 000 force echo F >> t2",
                                 "0 000 update echo U >> t2", "0 000 flag abort_ne 0",
                                 "0 000 update exit 7", "0 000 echo never >> t2", "[End]"}));
  EXPECT_EQ(2, Run({t, "pkg/px.arg", "-update"}).exit_status);
  EXPECT_EQ("U\n", ReadFile(t + "/pkg/t2"));
  EXPECT_EQ("s", ReadFile(t + "/pkg/staged.txt"));
  EXPECT_EQ(Runtime() + ArgText({"[UpdCommands]", "1 000 force echo F >> t2",
                                 "1 000 update echo U >> t2", "1 000 flag abort_ne 0",
                                 "1 007 update exit 7", "0 000 echo never >> t2", "[End]"}),
            ReadFile(t + "/pkg/px.arg"));

  // Expert mode with neither section.
  WriteFile(t + "/pkg/px.arg", Runtime() + ArgText({"[Other]"}));
  EXPECT_EQ(3, Run({t, "pkg/px.arg", "-expert"}).exit_status);
  EXPECT_NE(
      std::string::npos,
      Log(t).find(
          L("ERROR : Expert mode fallback start key [Commands] of command section not found") +
          L("caught exception 570621955")));
}

TEST_F(RunE2ETest, RebootRequestThenResume) {
  const std::string t = tmp_.path(), pkg = tmp_ / "pkg";
  const std::vector<std::string> lines{"[Commands]",
                                       "0 000 echo one >> trail.txt",
                                       "0 000 flag Reboot",
                                       "0 000 echo two >> trail.txt",
                                       "0 000 echo three >> trail.txt",
                                       "[End]"};
  WriteFile(pkg + "/px.arg", Runtime() + ArgText(lines));
  ProgramResult r = Run({t, "pkg/px.arg"}, kFakeReboot);
  EXPECT_EQ(5, r.exit_status);
  EXPECT_EQ(Status(4, "5"), ReadFile(pkg + "/HandlerStatus.txt"));
  EXPECT_EQ("0 Reboot for a Firmware flash\n", ReadFile(pkg + "/fake_help2.calls"));
  EXPECT_EQ("one\ntwo\n", ReadFile(pkg + "/trail.txt"));
  EXPECT_EQ(Runtime() +
                ArgText({"[Commands]", "1 000 echo one >> trail.txt", "1 000 flag Reboot",
                         "1 000 echo two >> trail.txt", "0 000 echo three >> trail.txt", "[End]"}),
            ReadFile(pkg + "/px.arg"));
  const std::string first_log = Log(t);
  EXPECT_EQ(ClassicStart({kFakeReboot, t, "pkg/px.arg"}, {}) + L("Use command section [Commands]") +
                Cmd("echo one >> trail.txt", 0, 0) + Cmd("flag Reboot", 0, 0) +
                L("exec command <echo two >> trail.txt>") + StatusLine(pkg, 4, "0") +
                L(" . . . returned 0") +
                L("Executed command: \"echo two >> trail.txt\" Retcode: 5") +
                StatusLine(pkg, 4, "5") + L("Quillon return code: 0x5"),
            first_log);

  // After the restart: the lines marked 1 are passed over.
  r = Run({t, "pkg/px.arg"}, kFakeReboot);
  EXPECT_EQ(0, r.exit_status);
  EXPECT_EQ(Status(5, "0"), ReadFile(pkg + "/HandlerStatus.txt"));
  EXPECT_EQ("one\ntwo\nthree\n", ReadFile(pkg + "/trail.txt"));
  EXPECT_EQ("0 Reboot for a Firmware flash\n", ReadFile(pkg + "/fake_help2.calls"));
  EXPECT_EQ(ClassicStart({kFakeReboot, t, "pkg/px.arg"}, {}) + L("Use command section [Commands]") +
                Cmd("echo three >> trail.txt", 0, 0) +
                L("Finished reading argument file \"" + t + "/pkg/pkg/px.arg\"") +
                StatusLine(pkg, 5, "0") + L("Quillon return code: 0x0"),
            Log(t).substr(first_log.size()));

  // A failing reboot program is logged; "-n" suppresses the request.
  WriteFile(pkg + "/px.arg", Runtime() + ArgText(lines));
  ProgramOptions failing;
  failing.env = {"FAKE_HELP2_EXIT=3"};
  EXPECT_EQ(5, Run({t, "pkg/px.arg"}, kFakeReboot, failing).exit_status);
  EXPECT_NE(std::string::npos, Log(t).find(L("Reboot retuned 3, errno 0")));
  WriteFile(pkg + "/px.arg", Runtime() + ArgText(lines));
  EXPECT_EQ(6, Run({t, "pkg/px.arg", "-n"}, kFakeReboot).exit_status);
  EXPECT_EQ(Status(5, "6"), ReadFile(pkg + "/HandlerStatus.txt"));
  const std::string calls = ReadFile(pkg + "/fake_help2.calls");
  EXPECT_EQ(2, std::count(calls.begin(), calls.end(), '\n'));
  // Local mode never reboots either.
  WriteFile(t + "/px.arg", ArgText({"[Commands]", "0 000 flag Reboot", "0 000 true", "[End]"}));
  EXPECT_EQ(6, Run({t}, kFakeReboot).exit_status);
  EXPECT_FALSE(Exists(t + "/fake_help2.calls"));
}

TEST_F(RunE2ETest, AutonomicMode) {
  const std::string dir = tmp_ / "pkg";
  ASSERT_EQ(0, symlink(kQuillon.c_str(), (dir + "/Quillon").c_str()));
  WriteFile(dir + "/px.arg",
            ArgText({"[Runtime]", "FWPATH=ignored", "[Commands]", "0 000 flag abort_ne 0",
                     "0 000 exit 3", "[UpdCommands]", "0 000 flag pkg_missing 21 abort_ne 0",
                     "0 000 exit 21", "0 000 flag abort_ne 0", "0 000 exit 4", "[End]"}));
  // Working directory from the program's path; abort 2 is reported as 8.
  ProgramResult r = Run({"autonomic", "-force"}, dir + "/Quillon");
  EXPECT_EQ(8, r.exit_status);
  EXPECT_EQ(Status(5, "8"), ReadFile(dir + "/HandlerStatus.txt"));
  EXPECT_FALSE(Exists(dir + "/Quillon.log") || Exists(tmp_ / "Quillon.log"));
  EXPECT_EQ(0u, ReadFile(dir + "/px.arg")
                    .find(ArgText({"[Runtime]", "FWPATH=ignored", "[Commands]",
                                   "1 000 flag abort_ne 0", "1 003 exit 3", "[UpdCommands]"})));

  // A condition turns the later abort into 0 and becomes the final code.
  r = Run({"AUTONOMIC", "-update", "-d", "kbxmode"}, dir + "/Quillon");
  EXPECT_EQ(21, r.exit_status);
  EXPECT_EQ("Quillon return code: 0x15\n", r.out);
  EXPECT_EQ(Status(5, "21"), ReadFile(dir + "/HandlerStatus.txt"));
  EXPECT_NE(std::string::npos, Log(dir).find(L("Executed command: \"exit 4\" Retcode: 0")));
  EXPECT_TRUE(Exists(dir + "/px.arg"));  // nothing of the package is deleted

  // "kbxmode" as argument 1 names a working directory of that name.
  mkdir((tmp_ / "kbxmode").c_str(), 0755);
  WriteFile(tmp_ / "kbxmode/px.arg", ArgText({"[Runtime]", "FWPATH=x", "[Commands]", "[End]"}));
  EXPECT_EQ(0, Run({"kbxmode", "-force"}).exit_status);
  EXPECT_EQ(Status(5, "0"), ReadFile(tmp_ / "kbxmode/HandlerStatus.txt"));
}

TEST_F(RunE2ETest, StandardOutputCarriesOnlyVersionUsageAndDebugLine) {
  ProgramResult r = Run({"/w", "-v", "-h"});
  EXPECT_EQ(0, r.exit_status);
  EXPECT_EQ("3.3.5.0\n", r.out);
  r = Run({"-help"});
  EXPECT_EQ(0, r.exit_status);
  const std::string& s = kQuillon;
  EXPECT_EQ(
      "USAGE :\n\t" + s + "\t-v|--version\t\t\tprint version\n\t" + s +
          "\t-h|--help\t\t\tprint usage\n\t" + s +
          "\t[path of workdir] autonomic -force|-update|-expert [-external-variable <external "
          "Variable string>] [-n]\t\twork in autonomic mode inside wrps\n\t" +
          s +
          "\t[path of workdir] kbxmode   -force|-update|-expert [-external-variable <external "
          "Variable string>] [-n]\t\twork in kbxmode\n\t" +
          s +
          "\t<path of workDir> <path and name of argument file> [-n] [-d]\twork in classic "
          "Marlow mode\n\t" +
          s + "\t<path of workDir>\t\twork in local mode (Fleetcare of Kelvane Agents)\n",
      r.out);
  EXPECT_FALSE(Exists(tmp_ / "HandlerStatus.txt") || Exists(tmp_ / "Quillon.log"));

  WriteFile(tmp_ / "pkg/px.arg",
            Runtime() + ArgText({"[Commands]", "0 000 echo to-stdout; echo err >&2", "[End]"}));
  r = Run({tmp_.path(), "pkg/px.arg", "-d"});
  EXPECT_EQ(0, r.exit_status);
  EXPECT_EQ("Quillon return code: 0x0\n", r.out);
  EXPECT_NE(std::string::npos, Log(tmp_.path()).find(L("Scan directory " + (tmp_ / "src"))));
}

TEST_F(RunE2ETest, CommandsInheritOnlyDevNull) {
  const std::string t = tmp_.path();
  WriteFile(
      t + "/px.arg",
      Runtime() + ArgText({"[Commands]", "0 000 ls -l /proc/$$/fd > fds.txt; true", "[End]"}));
  ProgramOptions options;
  options.extra_fds = {{5, t + "/five.txt"}, {7, t + "/seven.txt"}};
  EXPECT_EQ(0, Run({t, "px.arg", "-d"}, kQuillon, options).exit_status);
  // The shell's own descriptors: 0 and 2 as Quillon left them, 1 the
  // redirection (the shell may keep the original 1 on a saved copy).
  std::istringstream listing(ReadFile(t + "/fds.txt"));
  std::string line, word;
  std::set<int> fds;
  while (std::getline(listing, line)) {
    size_t arrow = line.find(" -> ");
    if (arrow == std::string::npos) continue;
    std::istringstream before(line.substr(0, arrow));
    while (before >> word) {
    }
    int fd = std::stoi(word);
    fds.insert(fd);
    std::string target = line.substr(arrow + 4);
    EXPECT_TRUE(target == "/dev/null" || (fd == 1 && target == t + "/fds.txt")) << line;
    EXPECT_TRUE(fd != 5 && fd != 7 && fd < 256) << line;
  }
  EXPECT_TRUE(fds.count(0) && fds.count(1) && fds.count(2));
}

}  // namespace
