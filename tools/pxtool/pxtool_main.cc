// pxtool: the package authors' and operators' tool: scrambled package
// files, signatures, checking and planning a package, and the state,
// report and reset of its runs.
//
//   pxtool scramble --method 1|2 IN OUT
//   pxtool descramble IN OUT
//   pxtool info FILE...
//   pxtool trace [FILE]
//   pxtool manifest | sign | verify ...   (see signing.h)
//   pxtool plan PACKAGE_DIR [ARGUMENT_FILE] [options] [--format text|json]
//   pxtool check [--strict] [--format text|json|sarif] [--max-diagnostics N]
//                PATH... | --list-rules
//   pxtool fmt PACKAGE_DIR [ARGUMENT_FILE] [--check]
//   pxtool status | report | reset PACKAGE_DIR [ARGUMENT_FILE] [options]
//   pxtool history [options]
//   pxtool --help | help [COMMAND] | COMMAND --help | --version
//
// Every subcommand is one entry of kCommands with an array of its options
// (command_line.h); main picks the entry, has its arguments read by it and
// returns the subcommand's exit status. The usage texts are all here.
// Messages go to standard error and name the file they concern; standard
// output carries only what was asked for (the help text, a plan, findings, a
// status, a report, a trace, file information).

#include <errno.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "history_db.h"
#include "pxtool.h"
#include "quillon_version.h"
#include "run_lock.h"
#include "taken_lines.h"

namespace {

using namespace pxtool;

// The directories of Quillon's state: the host's fixed ones. A test build
// takes the ones the environment names, so that no test touches the host's;
// the shipped program never reads (nor holds) these variables' names.
#ifdef QUILLON_TEST_BUILD
#define TEST_BUILD_GETENV(name) getenv(name)
#else
#define TEST_BUILD_GETENV(name) nullptr
#endif
std::string Or(const char* dir, const char* fixed) { return dir != nullptr ? dir : fixed; }
std::string RunLockDirectory() {
  return Or(TEST_BUILD_GETENV("QUILLON_RUN_LOCK_DIR"), kRunLockDirectory);
}
std::string StateDirectory() { return Or(TEST_BUILD_GETENV("QUILLON_STATE_DIR"), kStateDirectory); }
std::string HistoryDirectory() {
  return Or(TEST_BUILD_GETENV("QUILLON_HISTORY_DIR"), kHistoryDirectory);
}

int Verify(const CommandLine& line) { return RunVerify(line, StateDirectory()); }
int Status(const CommandLine& line) { return RunStatus(line, RunLockDirectory()); }
int Report(const CommandLine& line) { return RunReport(line, RunLockDirectory()); }
int Reset(const CommandLine& line) {
  return RunReset(line, RunLockDirectory(), StateDirectory());
}
int Fmt(const CommandLine& line) { return RunFmt(line, RunLockDirectory()); }
int History(const CommandLine& line) { return RunHistoryTool(line, HistoryDirectory()); }

// Each subcommand's options, one line of usage each (command_line.h).
const Option kNoOptions[] = {{}};
const Option kScrambleOptions[] = {
    {"method", "1|2", "the permutation and trailer to use (required)"}, {}};
const Option kSignOptions[] = {
    {"key", "SECRET_KEY", "the minisign secret key to sign with (required)"},
    {"password-file", "FILE",
     "the key's password, the first line of FILE (else PXTOOL_KEY_PASSWORD, else asked)"},
    {}};
const Option kVerifyOptions[] = {
    {"key", "PUBLIC_KEY", "a public key to accept the signature of (repeatable)"}, {}};
const Option kStatusOptions[] = {
    {"format", "text|json", "the output form (json: schema pxtool.status)"},
    {"wait", nullptr, "wait until no run holds the package"},
    {"timeout", "SECONDS", "with --wait: give up after SECONDS (exit status 7)"},
    {}};
const Option kReportOptions[] = {
    {"format", "text|json|svg", "the output form (json: pxtool.report; svg: a timeline)"},
    {"last", "N", "only the last N runs"},
    {"output", "LINE", "print the kept output of the command at argument-file LINE"},
    {"run", "N", "with --output: in run N of the log (default: the last)"},
    {}};
const Option kResetOptions[] = {
    {"section", "KEY", "re-arm only Commands, UpdCommands or ExpCommands (repeatable)"},
    {"keep-status", nullptr, "leave the status files in place"},
    {}};
// Quillon's own words keep their form ("-update", not "--update").
const Option kPlanOptions[] = {
    {"-update", nullptr, "update mode: the UpdCommands section", Option::kRunWord},
    {"-force", nullptr, "forced mode: the Commands section (the default)", Option::kRunWord},
    {"-expert", nullptr, "expert mode: the ExpCommands section", Option::kRunWord},
    {"-n", nullptr, "no reboot: a reboot flag yields \"reboot suppressed\"", Option::kRunWord},
    {"-d", nullptr, "taken as a run takes it; changes nothing planned", Option::kRunWord},
    {"autonomic", nullptr, "autonomic mode (or kbxmode)", Option::kRunWord},
    {"kbxmode", nullptr, "the same as autonomic", Option::kRunWord},
    {"-external-variable", "V", "the value put in for !{EXTVAR}", Option::kRunWord},
    {"-reset", "V", "the value put in for !{RESET}", Option::kRunWord},
    {"-external-parameter", "V", "the value put in for !{PARAM}", Option::kRunWord},
    {"format", "text|json", "the output form (json: schema pxtool.plan)"},
    {}};
const Option kCheckOptions[] = {
    {"strict", nullptr, "a warning fails the check too"},
    {"format", "text|json|sarif", "the output form (json: pxtool.check; sarif: SARIF 2.1.0)"},
    {"max-diagnostics", "N", "print at most N findings (default 1000, 0: all)"},
    {"no-source", nullptr, "print no source line under a finding (text)"},
    {"list-rules", nullptr, "list every rule with its severity, and check nothing"},
    {}};
const Option kHistoryOptions[] = {
    {"package", "DIR", "only the runs of the package in DIR"},
    {"since", "TIME", "only runs started at TIME or later (YYYY-MM-DD[THH:MM[:SS]][Z|+HH:MM], @SECONDS)"},
    {"last", "N", "only the last N runs"},
    {"runs", nullptr, "list the runs (the default)"},
    {"commands", "RUN", "list the lines run RUN took"},
    {"pending", nullptr, "list the packages a resume would run again"},
    {"prune", "KEEP", "remove all but the newest KEEP runs"},
    {"resume", nullptr, "run the pending packages again, as they were run"},
    {"quillon", "PROGRAM", "with --resume: the Quillon program to run"},
    {"format", "text|json|openmetrics", "the output form (json: schema pxtool.history)"},
    {}};
const Option kFmtOptions[] = {
    {"check", nullptr, "change nothing: say what would change, exit 1 if anything would"},
    {}};

const Command kCommands[] = {
    {"scramble", "scramble --method 1|2 IN OUT",
     "write IN scrambled with the method's permutation and trailer to OUT",
     kScrambleOptions, RunScramble},
    {"descramble", "descramble IN OUT",
     "write the plain form of IN to OUT (a plain IN is copied unchanged)",
     kNoOptions, RunDescramble},
    {"info", "info FILE...",
     "print the method each FILE's trailer names and its plain size",
     kNoOptions, RunInfo},
    {"trace", "trace [FILE]",
     "print the trace ring-buffer FILE (default: Quillon's, found through the\n"
     "trace configuration) as a log, oldest entry first",
     kNoOptions, RunTrace},
    {"manifest", "manifest PACKAGE_DIR [ARGUMENT_FILE]",
     "write SHA256SUMS beside the argument file (default px.arg)", kNoOptions, RunManifest},
    {"sign", "sign --key SECRET_KEY [--password-file FILE] PACKAGE_DIR [ARGUMENT_FILE]",
     "write SHA256SUMS and sign it with the minisign key (SHA256SUMS.minisig)",
     kSignOptions, RunSign},
    {"verify", "verify --key PUBLIC_KEY... PACKAGE_DIR [ARGUMENT_FILE]",
     "check the signature, the argument file and every package file",
     kVerifyOptions, Verify},
    {"status", "status [PACKAGE_DIR [ARGUMENT_FILE] | ARGUMENT_FILE] [--format text|json]\n"
     "[--wait [--timeout SECONDS]]",
     "where a package stands: not started, running, reboot requested,\n"
     "interrupted or finished; the final code in words; the progress.\n"
     "Exit status 0 finished with success, 1 finished with a failure or\n"
     "unreadable, 3 running, 4 interrupted, 5 reboot requested,\n"
     "6 not started, 7 --wait timed out",
     kStatusOptions, Status},
    {"report", "report [PACKAGE_DIR [ARGUMENT_FILE] | ARGUMENT_FILE] [--format text|json|svg]\n"
     "[--last N] [--output LINE [--run N]]",
     "every run of the run log with its commands, times, return codes and\n"
     "verdicts, a failed command's last output lines, and the slowest\n"
     "commands; svg: a timeline picture; --output: the whole kept\n"
     "output of the command at LINE in the last run (or run N)",
     kReportOptions, Report},
    {"reset", "reset [PACKAGE_DIR [ARGUMENT_FILE] | ARGUMENT_FILE] [--section KEY]\n"
     "[--keep-status]",
     "re-arm a package: taken lines become pending (result 000); refused\n"
     "while a run holds the lock; keeps <argument file>.bak; removes the\n"
     "status files unless --keep-status",
     kResetOptions, Reset},
    {"history",
     "history [--package DIR] [--since TIME] [--last N] [--format text|json|openmetrics]\n"
     "[--runs | --commands RUN | --pending | --prune KEEP | --resume [--quillon PROGRAM]]",
     "the machine's runs from the history database (/var/lib/quillon/history.db):\n"
     "when, package, mode, verdict, final code, duration, signer; the lines\n"
     "run RUN took; the packages a resume would run again (interrupted, or\n"
     "ended for a reboot) and --resume runs them; openmetrics for\n"
     "node_exporter's textfile collector; --prune keeps the newest KEEP runs",
     kHistoryOptions, History},
    {"plan",
     "plan PACKAGE_DIR [ARGUMENT_FILE] [-update|-force|-expert] [-n]\n"
     "[autonomic] [-external-variable V] [-reset V] [-external-parameter V]\n"
     "[--format text|json]",
     "what a run would do, without doing any of it: the section, the resume\n"
     "point, the staging, and each pending line with what its return\n"
     "codes lead to",
     kPlanOptions, RunPlan},
    {"check",
     "check [--strict] [--format text|json|sarif] [--max-diagnostics N]\n"
     "[--no-source] PATH... | --list-rules",
     "check packages (PACKAGE_DIR or ARGUMENT_FILE) for the traps of the\n"
     "argument-file format: FILE:LINE:COL diagnostics (the first N, 1000\n"
     "by default, 0 for all; all counted), each with its source line;\n"
     "exit 1 on an error",
     kCheckOptions, RunCheck},
    {"fmt", "fmt PACKAGE_DIR [ARGUMENT_FILE] [--check]",
     "format the argument file: CR LF line ends, the command lines' mark and\n"
     "result columns at their widths (no command text changes); refused\n"
     "while a run holds the lock; keeps <argument file>.bak",
     kFmtOptions, Fmt},
};

void PrintUsage(FILE* out) {
  fprintf(out, "Usage: pxtool COMMAND ARGUMENTS\n\nCommands:\n");
  for (const Command& c : kCommands) {
    PrintSynopsis("  pxtool ", c, 6, out);
    PrintIndented(c.description, 6, out);
  }
  fprintf(out,
          "  pxtool --help | help [COMMAND]\n      print this text, or the usage of COMMAND\n"
          "      (as pxtool COMMAND --help)\n"
          "  pxtool --version\n      print the version\n\n"
          "OUT is written as a new file and appears only when complete; on\n"
          "failure no OUT is left behind.\n\n"
          "Exit status: 0 success, 1 failure (a message on standard error\n"
          "names the file), 2 usage error.\n");
}

const Command* FindCommand(const char* name) {
  for (const Command& c : kCommands)
    if (strcmp(c.name, name) == 0) return &c;
  return nullptr;
}

}  // namespace

// Nothing here reads a file before the subcommand runs: --help and
// --version answer at once.
int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  const char* first = argv[1];
  bool help = strcmp(first, "help") == 0;
  if (strcmp(first, "--help") == 0 || strcmp(first, "-h") == 0 || (help && argc == 2)) {
    PrintUsage(stdout);
    return kExitSuccess;
  }
  if (strcmp(first, "--version") == 0) {
    printf("pxtool %s\n", QUILLON_VERSION_STRING);
    return fflush(stdout) == 0 ? kExitSuccess : kExitFailure;
  }
  if (help && argc > 3) return UsageError("help takes one COMMAND", "");
  const char* name = help ? argv[2] : first;
  const Command* command = FindCommand(name);
  if (!command) return UsageError("unknown command ", ("'" + std::string(name) + "'").c_str());
  int status;
  if (help) {
    PrintCommandUsage(*command, stdout);
    status = kExitSuccess;
  } else {
    CommandLine line(*command);
    status = ReadCommandLine(argc - 2, argv + 2, &line);
    if (status == kRunCommand) status = command->run(line);
  }
  if (fflush(stdout) != 0) {
    perror("pxtool: standard output");
    return kExitFailure;
  }
  return status;
}
