// The history database as the test build of Quillon writes it and
// pxtool_testbuild reads it: what each kind of run records, that a failing
// history changes nothing of the run, descriptors, a killed run resumed,
// two runs at once, and the OpenMetrics output read by prometheus_client.

#include <signal.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "json_samples.h"
#include "test_util.h"

namespace quillon_test {
namespace {

using Json = nlohmann::json;

const std::string kQuillon = std::string(QUILLON_BIN_DIR) + "/Quillon_fakereboot";
const std::string kPxtool = std::string(QUILLON_BIN_DIR) + "/pxtool_testbuild";

class HistoryE2ETest : public testing::Test {
 protected:
  // Every program: the history in history_ (unless `history` names another
  // place), the system log in syslog_.
  ProgramOptions Options(const std::string& history = "") {
    ProgramOptions options;
    options.cwd = t_;
    options.env = {"QUILLON_HISTORY_DIR=" + (history.empty() ? history_ : history),
                   "QUILLON_SYSTEM_LOG=" + syslog_};
    return options;
  }
  ProgramResult Quillon(const std::vector<std::string>& args, const std::string& history = "",
                        const std::string& program = kQuillon) {
    return RunProgram(program, args, Options(history));
  }
  Json History(std::vector<std::string> args) {
    args.insert(args.begin(), "history");
    args.insert(args.end(), {"--format", "json"});
    ProgramResult r = RunProgram(kPxtool, args, Options());
    EXPECT_EQ(0, r.exit_status) << r.err;
    return ParsePxtoolJson(r.out);
  }
  // The newest run.
  Json Last() { return History({"--last", "1"})["runs"].back(); }
  // Its lines, "<line> <rc> <verdict> <text>" each.
  std::vector<std::string> Lines(const Json& run) {
    std::vector<std::string> lines;
    const Json document = History({"--commands", std::to_string(run["id"].get<long>())});
    for (const Json& c : document["commands"])
      lines.push_back(std::to_string(c["line"].get<long>()) + " " +
                      (c["return_code"].is_null() ? "-" : std::to_string(c["return_code"].get<long>())) +
                      " " + (c["verdict"].is_null() ? "-" : c["verdict"].get<std::string>()) +
                      " " + c["text"].get<std::string>());
    return lines;
  }
  std::string Package(const std::string& name, const std::vector<std::string>& lines) {
    const std::string dir = t_ + "/" + name;
    std::filesystem::create_directories(dir + "/pkg");
    WriteFile(dir + "/pkg/px.arg", ArgText(lines));
    return dir;
  }

  ScopedTempDir tmp_;
  const std::string t_ = tmp_.path(), history_ = t_ + "/history", syslog_ = t_ + "/syslog";
};

TEST_F(HistoryE2ETest, EachKindOfRunRecordsWhatItDid) {
  std::filesystem::create_directories(t_ + "/files");
  const std::string runtime = "FWPATH=" + t_ + "/files";
  std::string classic = Package("classic", {"[Runtime]", runtime, "[Commands]",
                                            "0 000 flag abort_ne 0 omit_ret_codes 3;",
                                            "0 000 true -pwd hunter2", "0 000 update echo no",
                                            "0 000 sh -c \"exit 3\"", "[End]"});
  ASSERT_EQ(0, Quillon({classic, "pkg/px.arg", "-force", "-external-variable", "-pwd secret"})
                   .exit_status);
  Json run = Last();
  EXPECT_EQ("classic", run["mode"]);
  EXPECT_EQ("[Commands]", run["section"]);
  EXPECT_EQ(classic + "/pkg/px.arg", run["argument_file"]);
  EXPECT_EQ("success", run["verdict"]);
  EXPECT_EQ("none", run["reboot"]);
  EXPECT_EQ(64u, run["digest"].get<std::string>().size());
  EXPECT_EQ(kQuillon + " " + classic + " pkg/px.arg -force -external-variable -pwd ******",
            run["command_line"]);
  EXPECT_EQ((std::vector<std::string>{"4 0 flags flag abort_ne 0 omit_ret_codes 3;",
                                      "5 0 ok true -pwd *******", "6 0 skipped echo no",
                                      "7 3 go_on sh -c \"exit 3\""}),
            Lines(run));

  // Local mode suppresses the reboot; an abort; a reboot handed on.
  std::string local = t_ + "/local";
  std::filesystem::create_directories(local);
  WriteFile(local + "/px.arg", ArgText({"[Commands]", "0 000 flag Reboot", "0 000 true", "[End]"}));
  EXPECT_EQ(6, Quillon({local}).exit_status);
  run = Last();
  EXPECT_EQ("local", run["mode"]);
  EXPECT_EQ("reboot_suppressed", run["verdict"]);
  EXPECT_EQ("suppressed", run["reboot"]);
  std::string aborted = Package("aborted", {"[Runtime]", runtime, "[Commands]",
                                            "0 000 flag abort_ne 0", "0 000 exit 4",
                                            "0 000 true", "[End]"});
  EXPECT_EQ(2, Quillon({aborted, "pkg/px.arg"}).exit_status);
  run = Last();
  EXPECT_EQ("aborted", run["verdict"]);
  EXPECT_EQ(2, run["final_code"]["value"]);
  EXPECT_EQ((std::vector<std::string>{"4 0 flags flag abort_ne 0", "5 4 aborted exit 4"}),
            Lines(run));
  std::string reboot = Package("reboot", {"[Runtime]", runtime, "[Commands]", "0 000 flag Reboot",
                                          "0 000 true", "0 000 echo after", "[End]"});
  EXPECT_EQ(5, Quillon({reboot, "pkg/px.arg"}).exit_status);
  run = Last();
  EXPECT_EQ("reboot_requested", run["verdict"]);
  EXPECT_EQ("requested", run["reboot"]);

  // Autonomic: no run log, recorded all the same.
  std::string autonomic = Package("auto", {"[Runtime]", runtime, "[Commands]", "0 000 true",
                                           "[End]"});
  ASSERT_EQ(0, symlink(kQuillon.c_str(), (autonomic + "/pkg/Quillon").c_str()));
  EXPECT_EQ(0, Quillon({"autonomic", "-force"}, "", autonomic + "/pkg/Quillon").exit_status);
  run = Last();
  EXPECT_EQ("autonomic", run["mode"]);
  EXPECT_EQ("success", run["verdict"]);
  EXPECT_FALSE(Exists(autonomic + "/pkg/Quillon.log"));

  // A missing argument file: a handler error without lines. Runs that end
  // before their log is opened record nothing.
  EXPECT_EQ(3, Quillon({t_ + "/none", "px.arg"}).exit_status);
  run = Last();
  EXPECT_EQ("handler_error", run["verdict"]);
  EXPECT_TRUE(Lines(run).empty());
  size_t runs = History({})["runs"].size();
  Quillon({"-v"});
  Quillon({});
  EXPECT_EQ(runs, History({})["runs"].size());
  EXPECT_FALSE(Exists(syslog_)) << ReadFile(syslog_);
}

// Everything the run leaves, with its time stamps taken out.
std::string Outcome(const ProgramResult& r, const std::string& dir) {
  return std::to_string(r.exit_status) + "|" + r.out + "|" + r.err + "|" +
         ReadFile(dir + "/pkg/HandlerStatus.txt") + "|" + ReadFile(dir + "/pkg/px.arg") + "|" +
         std::regex_replace(NormalizeLog(ReadFile(dir + "/Quillon.log")), std::regex(dir), "DIR");
}

TEST_F(HistoryE2ETest, AFailingHistoryChangesNothingOfTheRunAndIsReportedOnce) {
  std::filesystem::create_directories(t_ + "/files");
  const std::vector<std::string> lines{"[Runtime]", "FWPATH=" + t_ + "/files", "[Commands]",
                                       "0 000 flag abort_ne 0 Delayed", "0 000 true",
                                       "0 000 echo two", "0 000 exit 0", "[End]"};
  auto run = [&](const std::string& name, const std::string& history) {
    std::string dir = Package(name, lines);
    return Outcome(Quillon({dir, "pkg/px.arg", "-d"}, history), dir);
  };
  const std::string recorded = run("recorded", history_);
  EXPECT_FALSE(Exists(syslog_));
  EXPECT_EQ("success", Last()["verdict"]);
  // None (a test build without the variable), a file where the directory
  // should be, a directory where the database should be.
  ProgramOptions unset;
  unset.cwd = t_;
  unset.env = {"QUILLON_SYSTEM_LOG=" + syslog_};
  unset.unset = {"QUILLON_HISTORY_DIR"};
  std::string dir = Package("unset", lines);
  EXPECT_EQ(recorded, Outcome(RunProgram(kQuillon, {dir, "pkg/px.arg", "-d"}, unset), dir));
  EXPECT_FALSE(Exists(syslog_));
  WriteFile(t_ + "/plain", "");
  EXPECT_EQ(recorded, run("refused", t_ + "/plain"));
  EXPECT_EQ(1u, Count(ReadFile(syslog_), "\n"));
  EXPECT_NE(std::string::npos, ReadFile(syslog_).find("Quillon: history " + t_ + "/plain"));
  ASSERT_EQ(0, mkdir((t_ + "/dirdb").c_str(), 0700));
  ASSERT_EQ(0, mkdir((t_ + "/dirdb/history.db").c_str(), 0700));
  EXPECT_EQ(recorded, run("in-the-way", t_ + "/dirdb"));
  EXPECT_EQ(2u, Count(ReadFile(syslog_), "\n"));
  // A corrupt database is set aside; the run is recorded in a new one.
  WriteFile(history_ + "/history.db", std::string(4096, '\x7f'));
  EXPECT_EQ(recorded, run("corrupt", history_));
  EXPECT_EQ(3u, Count(ReadFile(syslog_), "\n"));
  EXPECT_NE(std::string::npos, ReadFile(syslog_).find("was corrupt: set aside as"));
  const Json runs = History({})["runs"];
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ(t_ + "/corrupt/pkg/px.arg", runs[0]["argument_file"]);
}

TEST_F(HistoryE2ETest, CommandsInheritNoDescriptorOfTheDatabase) {
  // The command lists its own descriptors, and the flags of Quillon's
  // descriptors on the database's files.
  std::string dir = Package("fds", {"[Commands]",
      "0 000 ls -l /proc/self/fd/ > fds.txt; for f in /proc/$PPID/fd/*; do case $(readlink $f) "
      "in *history.db*) grep flags /proc/$PPID/fdinfo/${f##*/};; esac; done > flags.txt",
      "[End]"});
  ASSERT_EQ(0, Quillon({dir + "/pkg"}).exit_status);
  EXPECT_EQ(std::string::npos, ReadFile(dir + "/pkg/fds.txt").find("history")) << ReadFile(dir + "/pkg/fds.txt");
  std::vector<std::string> flags;
  std::istringstream text(ReadFile(dir + "/pkg/flags.txt"));
  for (std::string line; std::getline(text, line);) flags.push_back(line);
  EXPECT_GE(flags.size(), 3u) << "the database, its -wal and -shm are open while commands run";
  for (const std::string& line : flags)
    EXPECT_NE(0, std::stoul(line.substr(line.find_first_of("01234567")), nullptr, 8) & 02000000)
        << line << ": not close-on-exec";
}

TEST_F(HistoryE2ETest, AKilledRunIsInterruptedAndResumedOnceAutonomicRunsAreLeftAlone) {
  std::string dir = Package("killed", {"[Commands]", "0 000 echo one >> ran.txt; sleep 60",
                                       "0 000 echo two >> ran.txt", "[End]"});
  ProgramOptions options = Options();
  options.cwd = dir;
  pid_t pid = fork();
  if (pid == 0) {
    for (const std::string& e : options.env) putenv(strdup(e.c_str()));
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0), dup2(null, 1), dup2(null, 2);
    if (chdir(dir.c_str()) == 0) execl(kQuillon.c_str(), kQuillon.c_str(), "pkg", nullptr);
    _exit(127);
  }
  for (int i = 0; i < 600 && !Exists(dir + "/pkg/Quillon.pgrp"); ++i) usleep(10000);
  ASSERT_TRUE(Exists(dir + "/pkg/Quillon.pgrp"));
  std::smatch group;
  std::string record = ReadFile(dir + "/pkg/Quillon.pgrp");
  ASSERT_TRUE(std::regex_search(record, group, std::regex("Pgrp=([0-9]+)")));
  EXPECT_EQ("running", Last()["state"]);
  kill(pid, SIGKILL);
  kill(-std::stoi(group[1]), SIGKILL);
  waitpid(pid, nullptr, 0);
  Json killed = Last();
  EXPECT_EQ("interrupted", killed["state"]);
  EXPECT_EQ("interrupted", killed["verdict"]);
  EXPECT_EQ((std::vector<std::string>{"2 - - echo one >> ran.txt; sleep 60"}), Lines(killed));

  // A reboot handed on is pending too; autonomic runs never are.
  const std::vector<std::string> rebooting{"[Runtime]", "FWPATH=" + t_, "[Commands]",
                                           "0 000 flag Reboot", "0 000 true",
                                           "0 000 echo after >> ran.txt", "[End]"};
  std::string reboot = Package("reboot", rebooting);
  ASSERT_EQ(5, Quillon({reboot, "pkg/px.arg"}).exit_status);
  std::string autonomic = Package("auto", rebooting);
  ASSERT_EQ(0, symlink(kQuillon.c_str(), (autonomic + "/pkg/Quillon").c_str()));
  EXPECT_EQ(2, Quillon({"autonomic"}, "", autonomic + "/pkg/Quillon").exit_status);
  const Json pending = History({"--pending"})["pending"];
  ASSERT_EQ(2u, pending.size()) << pending.dump();
  EXPECT_EQ("interrupted", pending[0]["reason"]);
  EXPECT_EQ("reboot_requested", pending[1]["reason"]);

  std::vector<std::string> resume{"history", "--resume", "--quillon", kQuillon};
  ProgramResult r = RunProgram(kPxtool, resume, Options());
  EXPECT_EQ(0, r.exit_status) << r.err;
  EXPECT_EQ(2u, Count(r.out, "Quillon ended with exit status 0")) << r.out;
  EXPECT_EQ("one\ntwo\n", ReadFile(dir + "/pkg/ran.txt"));
  EXPECT_EQ("after\n", ReadFile(reboot + "/pkg/ran.txt"));
  EXPECT_FALSE(Exists(autonomic + "/pkg/ran.txt"));
  EXPECT_TRUE(History({"--pending"})["pending"].empty());
  std::optional<Json> old;
  const Json runs = History({"--package", dir + "/pkg"})["runs"];
  for (const Json& run : runs)
    if (run["id"] == killed["id"]) old = run;
  ASSERT_TRUE(old.has_value());
  EXPECT_FALSE((*old)["interrupted_at"].is_null());
  r = RunProgram(kPxtool, resume, Options());
  EXPECT_EQ("pxtool: history: nothing to resume\n", r.out);
}

TEST_F(HistoryE2ETest, TwoRunsAtOnceRecordEverything) {
  std::vector<std::string> lines{"[Commands]"};
  for (int i = 0; i < 30; ++i) lines.push_back("0 000 true");
  lines.push_back("[End]");
  std::vector<std::string> dirs{Package("a", lines), Package("b", lines)};
  std::vector<pid_t> pids;
  ProgramOptions options = Options();
  for (const std::string& dir : dirs) {
    pid_t pid = fork();
    if (pid == 0) {
      for (const std::string& e : options.env) putenv(strdup(e.c_str()));
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0), dup2(null, 1), dup2(null, 2);
      execl(kQuillon.c_str(), kQuillon.c_str(), (dir + "/pkg").c_str(), nullptr);
      _exit(127);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(0, WEXITSTATUS(status));
  }
  const Json runs = History({})["runs"];
  ASSERT_EQ(2u, runs.size());
  for (const Json& run : runs) {
    EXPECT_EQ("success", run["verdict"]);
    EXPECT_EQ(30u, Lines(run).size());
  }
  EXPECT_FALSE(Exists(syslog_)) << ReadFile(syslog_);
}

// The JSON against its schema (docs/schemas), the OpenMetrics through
// prometheus_client's parser.
TEST_F(HistoryE2ETest, ReadByPythonClients) {
  // Debian's python3, for which python3-prometheus-client is installed.
  if (system("/usr/bin/python3 -c 'import prometheus_client' 2>/dev/null") != 0)
    GTEST_SKIP() << "python3-prometheus-client is not installed (scripts/setup.sh installs it)";
  std::string dir = Package("metrics \"quoted\\", {"[Commands]", "0 000 flag Reboot",
                                                  "0 000 true", "[End]"});
  EXPECT_EQ(6, Quillon({dir + "/pkg"}).exit_status);
  ProgramResult r = RunProgram(kPxtool, {"history", "--format", "openmetrics"}, Options());
  ASSERT_EQ(0, r.exit_status) << r.err;
  WriteFile(t_ + "/metrics.txt", r.out);
  WriteFile(t_ + "/read.py",
            "import sys\n"
            "from prometheus_client.openmetrics.parser import text_string_to_metric_families\n"
            "for f in text_string_to_metric_families(open(sys.argv[1]).read()):\n"
            "    for s in f.samples:\n"
            "        print(f.type, s.name, sorted(s.labels.items()), s.value)\n");
  ProgramOptions options;
  options.cwd = t_;
  ProgramResult parsed = RunProgram("/usr/bin/python3", {"read.py", "metrics.txt"}, options);
  ASSERT_EQ(0, parsed.exit_status) << parsed.err << r.out;
  const std::string package = dir + "/pkg/px.arg";
  EXPECT_NE(std::string::npos,
            parsed.out.find("counter quillon_runs_total [('verdict', 'reboot_suppressed')] 1\n"))
      << parsed.out;
  EXPECT_NE(std::string::npos,
            parsed.out.find("gauge quillon_last_run_success [('package', '" +
                            std::regex_replace(package, std::regex("\\\\"), "\\\\") +
                            "')] 0\n"))
      << parsed.out;
  EXPECT_NE(std::string::npos, parsed.out.find("gauge quillon_reboot_required [] 1\n"))
      << parsed.out;

  // Every form of the JSON, for the schema check (json_samples.h).
  for (const char* form : {"--commands", "--pending", "--prune"})
    History(form == std::string("--pending") ? std::vector<std::string>{form}
                                             : std::vector<std::string>{form, "1"});
}

TEST(PxtoolHistoryOptions, UsageErrors) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--runs", "--pending"},
                                             {"--last", "0"},
                                             {"--since", "yesterday"},
                                             {"--pending", "--last", "3"},
                                             {"--format", "openmetrics", "--last", "3"},
                                             {"--format", "xml"},
                                             {"--quillon", "/bin/true"},
                                             {"stray"}}) {
    std::vector<std::string> all{"history"};
    all.insert(all.end(), args.begin(), args.end());
    ProgramResult r = RunProgram(kPxtool, all);
    EXPECT_EQ(2, r.exit_status) << args[0];
    EXPECT_EQ(0u, r.err.find("pxtool: history: ")) << r.err;
  }
}

}  // namespace
}  // namespace quillon_test
