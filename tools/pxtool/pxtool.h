// pxtool's subcommands, one function each in a file of its own (the table of
// them is in pxtool_main.cc), taking the arguments after the name and
// returning the exit status: 0 success, 1 failure, 2 usage error (those that
// report a state have more). Messages go to standard error, begin with
// "pxtool: " and name the file they concern; standard output carries only
// the result.

#ifndef TOOLS_PXTOOL_PXTOOL_H_
#define TOOLS_PXTOOL_PXTOOL_H_

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "package_files.h"
#include "px_tool.h"

namespace pxtool {

enum ExitStatus { kExitSuccess = 0, kExitFailure = 1, kExitUsage = 2 };

// Prints "pxtool: <message><detail>" and the hint to --help on standard
// error; returns kExitUsage.
int UsageError(const char* message, const char* detail);

// Prints "pxtool: " and the formatted message as a line on standard error;
// returns kExitFailure.
int Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Whether argv[*i] is the option `name`, as "NAME VALUE" (*i then moves to
// the value) or "NAME=VALUE". *value: the value, null when it is missing.
bool OptionValue(const char* name, int argc, char** argv, int* i, const char** value);

// What an option handler of ParsePackageArguments returns when it does not
// stop with an exit status.
const int kOptionTaken = -1, kOptionUnknown = -2;

// Reads the arguments of a command on one package (status, report, reset):
// `option(&i)` is asked about each argument that begins with '-' (a lone "-"
// is a name) and may move i past the option's value; the other arguments go
// to `names`. Returns kOptionTaken, or the exit status of the first error.
int ParsePackageArguments(const char* command, int argc, char** argv,
                          const std::function<int(int* i)>& option,
                          std::vector<const char*>* names);

// Finds the package `names` give (PACKAGE_DIR [ARGUMENT_FILE] |
// ARGUMENT_FILE; none: the current directory) with LocatePackage. Returns
// kExitSuccess; kExitUsage after saying there are more than two names; or
// kExitFailure with `error`, not yet said.
int LocateNamedPackage(const char* command, const std::vector<const char*>& names,
                       PackageLocation* where, std::string* error);

// Reads the trailer and plain size of `path`. On failure says on standard
// error why the file cannot be examined and returns false.
bool ExamineSource(const char* path, PXTool::PXCryptMethod* found,
                   unsigned long long* size);

// Whether two names are the same file (device and inode).
bool SameFile(const char* a, const char* b);

// Runs the codec from `in` to `out` and reports its failure; `verb` names
// the action in the message. Refuses an OUT that is a link or not a file of
// this user's own.
int Transform(const char* verb, const char* in, const char* out,
              PXTool::PXCryptMethod method);

// A method as `info` shows it.
const char* MethodName(PXTool::PXCryptMethod method);

// The subcommands.
int RunScramble(int argc, char** argv);
int RunDescramble(int argc, char** argv);
int RunInfo(int argc, char** argv);
int RunTrace(int argc, char** argv);
int RunManifest(int argc, char** argv);
int RunSign(int argc, char** argv);
// Runs keep their records of taken lines in `stateDirectory`
// (taken_lines.h).
int RunVerify(int argc, char** argv, const std::string& stateDirectory);
// Operators' tools: where a package stands, what its runs did, re-arming it.
// Runs keep their locks in `runLockDirectory` (run_lock.h).
int RunStatus(int argc, char** argv, const std::string& runLockDirectory);
int RunReport(int argc, char** argv, const std::string& runLockDirectory);
int RunReset(int argc, char** argv, const std::string& runLockDirectory,
             const std::string& stateDirectory);
int RunPlan(int argc, char** argv);
// The machine's runs from the history database in `historyDirectory`
// (history_db.h).
int RunHistoryTool(int argc, char** argv, const std::string& historyDirectory);
int RunCheck(int argc, char** argv);

}  // namespace pxtool

#endif  // TOOLS_PXTOOL_PXTOOL_H_
