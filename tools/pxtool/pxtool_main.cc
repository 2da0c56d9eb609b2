// pxtool: the package author's tool for scrambled package files.
//
//   pxtool scramble --method 1|2 IN OUT
//   pxtool descramble IN OUT
//   pxtool info FILE...
//   pxtool trace [FILE]
//   pxtool check [--strict] [--format text|json|sarif] PATH... | --list-rules
//   pxtool --help | --version
//
// Every subcommand is one entry of kCommands; main only picks the entry and
// returns its exit status. Messages go to standard error and name the file
// they concern; standard output carries only the help text and the lines of
// "info".

#include <errno.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pxtool.h"
#include "quillon_version.h"

namespace {

using namespace pxtool;

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
    {"check", "check [--strict] [--format text|json|sarif] PATH... | --list-rules",
     "check packages (PACKAGE_DIR or ARGUMENT_FILE) for the traps of the\n"
     "      argument-file format: FILE:LINE:COL diagnostics; exit 1 on an error",
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
