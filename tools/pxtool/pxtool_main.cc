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
//   pxtool status | report | reset PACKAGE_DIR [ARGUMENT_FILE] [options]
//   pxtool history [options]
//   pxtool --help | --version
//
// Every subcommand is one entry of kCommands; main only picks the entry and
// returns its exit status. Messages go to standard error and name the file
// they concern; standard output carries only what was asked for (the help
// text, a plan, findings, a status, a report, a trace, file information).

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

// The directory of the run locks: the host's. A test build takes the one
// the environment names; the shipped program never reads the variable.
std::string RunLockDirectory() {
#ifdef QUILLON_RUN_LOCK_DIR_FROM_ENV
  if (const char* dir = getenv("QUILLON_RUN_LOCK_DIR")) return dir;
#endif
  return kRunLockDirectory;
}

// The directory of the records of taken lines: the host's, or in a test
// build the one the environment names.
std::string StateDirectory() {
#ifdef QUILLON_STATE_DIR_FROM_ENV
  if (const char* dir = getenv("QUILLON_STATE_DIR")) return dir;
#endif
  return kStateDirectory;
}

// The directory of the history database: the host's, or in a test build
// the one the environment names.
std::string HistoryDirectory() {
#ifdef QUILLON_HISTORY_DIR_FROM_ENV
  if (const char* dir = getenv("QUILLON_HISTORY_DIR")) return dir;
#endif
  return kHistoryDirectory;
}

int Verify(int argc, char** argv) {
  return RunVerify(argc, argv, StateDirectory());
}
int Status(int argc, char** argv) {
  return RunStatus(argc, argv, RunLockDirectory());
}
int Report(int argc, char** argv) {
  return RunReport(argc, argv, RunLockDirectory());
}
int History(int argc, char** argv) {
  return RunHistoryTool(argc, argv, HistoryDirectory());
}
int Reset(int argc, char** argv) {
  return RunReset(argc, argv, RunLockDirectory(), StateDirectory());
}

struct Command {
  const char* name;
  const char* synopsis;
  const char* description;
  int (*run)(int argc, char** argv);  // the arguments after the name
};

const Command kCommands[] = {
    {"scramble", "scramble --method 1|2 IN OUT",
     "write IN scrambled with the method's permutation and trailer to OUT",
     RunScramble},
    {"descramble", "descramble IN OUT",
     "write the plain form of IN to OUT (a plain IN is copied unchanged)",
     RunDescramble},
    {"info", "info FILE...",
     "print the method each FILE's trailer names and its plain size",
     RunInfo},
    {"trace", "trace [FILE]",
     "print the trace ring-buffer FILE (default: Quillon's, found through the\n"
     "      trace configuration) as a log, oldest entry first",
     RunTrace},
    {"manifest", "manifest PACKAGE_DIR [ARGUMENT_FILE]",
     "write SHA256SUMS beside the argument file (default px.arg)", RunManifest},
    {"sign", "sign --key SECRET_KEY [--password-file FILE] PACKAGE_DIR [ARGUMENT_FILE]",
     "write SHA256SUMS and sign it with the minisign key (SHA256SUMS.minisig)",
     RunSign},
    {"verify", "verify --key PUBLIC_KEY... PACKAGE_DIR [ARGUMENT_FILE]",
     "check the signature, the argument file and every package file", Verify},
    {"status", "status [PACKAGE_DIR [ARGUMENT_FILE] | ARGUMENT_FILE] [--format text|json]\n"
     "      [--wait [--timeout SECONDS]]",
     "where a package stands: not started, running, reboot requested,\n"
     "      interrupted or finished; the final code in words; the progress.\n"
     "      Exit status 0 finished with success, 1 finished with a failure or\n"
     "      unreadable, 3 running, 4 interrupted, 5 reboot requested,\n"
     "      6 not started, 7 --wait timed out",
     Status},
    {"report", "report [PACKAGE_DIR [ARGUMENT_FILE] | ARGUMENT_FILE] [--format text|json|svg]\n"
     "      [--last N] [--output LINE [--run N]]",
     "every run of the run log with its commands, times, return codes and\n"
     "      verdicts, a failed command's last output lines, and the slowest\n"
     "      commands; svg: a timeline picture; --output: the whole kept\n"
     "      output of the command at LINE in the last run (or run N)",
     Report},
    {"reset", "reset [PACKAGE_DIR [ARGUMENT_FILE] | ARGUMENT_FILE] [--section KEY]\n"
     "      [--keep-status]",
     "re-arm a package: taken lines become pending (result 000); refused\n"
     "      while a run holds the lock; keeps <argument file>.bak; removes the\n"
     "      status files unless --keep-status",
     Reset},
    {"history",
     "history [--package DIR] [--since TIME] [--last N] [--format text|json|openmetrics]\n"
     "      [--runs | --commands RUN | --pending | --prune KEEP | --resume [--quillon PROGRAM]]",
     "the machine's runs from the history database (/var/lib/quillon/history.db):\n"
     "      when, package, mode, verdict, final code, duration, signer; the lines\n"
     "      run RUN took; the packages a resume would run again (interrupted, or\n"
     "      ended for a reboot) and --resume runs them; openmetrics for\n"
     "      node_exporter's textfile collector; --prune keeps the newest KEEP runs",
     History},
    {"plan",
     "plan PACKAGE_DIR [ARGUMENT_FILE] [-update|-force|-expert] [-n]\n"
     "      [autonomic] [-external-variable V] [-reset V] [-external-parameter V]\n"
     "      [--format text|json]",
     "what a run would do, without doing any of it: the section, the resume\n"
     "      point, the staging, and each pending line with what its return\n"
     "      codes lead to",
     RunPlan},
    {"check",
     "check [--strict] [--format text|json|sarif] [--max-diagnostics N]\n"
     "      PATH... | --list-rules",
     "check packages (PACKAGE_DIR or ARGUMENT_FILE) for the traps of the\n"
     "      argument-file format: FILE:LINE:COL diagnostics (the first N, 1000\n"
     "      by default, 0 for all; all counted); exit 1 on an error",
     RunCheck},
};

void PrintUsage(FILE* out) {
  fprintf(out, "Usage: pxtool COMMAND ARGUMENTS\n\nCommands:\n");
  for (const Command& c : kCommands)
    fprintf(out, "  pxtool %s\n      %s\n", c.synopsis, c.description);
  fprintf(out,
          "  pxtool --help\n      print this text\n"
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

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 ||
      strcmp(argv[1], "help") == 0) {
    PrintUsage(stdout);
    return kExitSuccess;
  }
  if (strcmp(argv[1], "--version") == 0) {
    printf("pxtool %s\n", QUILLON_VERSION_STRING);
    return fflush(stdout) == 0 ? kExitSuccess : kExitFailure;
  }
  const Command* command = FindCommand(argv[1]);
  if (!command) return UsageError("unknown command ", argv[1]);
  int status = command->run(argc - 2, argv + 2);
  if (fflush(stdout) != 0) {
    perror("pxtool: standard output");
    return kExitFailure;
  }
  return status;
}
