// pxtool's subcommands, one function each in a file of its own (the table of
// them is in pxtool_main.cc), taking their arguments as read by the table
// (command_line.h) and returning the exit status: 0 success, 1 failure,
// 2 usage error (those that report a state have more). Messages go to standard error, begin with
// "pxtool: " and name the file they concern; standard output carries only
// the result.

#ifndef TOOLS_PXTOOL_PXTOOL_H_
#define TOOLS_PXTOOL_PXTOOL_H_

#include <cstdio>
#include <string>
#include <vector>

#include "command_line.h"
#include "package_files.h"
#include "px_tool.h"

namespace pxtool {

enum ExitStatus { kExitSuccess = 0, kExitFailure = 1, kExitUsage = 2 };

// Prints "pxtool: <message><detail>" and the hint to --help on standard
// error; returns kExitUsage. (A subcommand's usage errors go through
// CommandLine::UsageError, whose hint names the subcommand.)
int UsageError(const char* message, const char* detail);

// Prints "pxtool: " and the formatted message as a line on standard error;
// returns kExitFailure.
int Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Whether a subcommand on one package may leave it out (the current
// directory then) or must name it.
enum class PackageOperands { kOptional, kRequired };

// Finds the package the operands of `line` name (PACKAGE_DIR
// [ARGUMENT_FILE] | ARGUMENT_FILE, see package_files.h) with LocatePackage.
// Every subcommand on one package names it so. Returns kExitSuccess;
// kExitUsage after the one usage message for it (more than two operands,
// or none when required); or kExitFailure with `error`, not yet said.
int LocateNamedPackage(const CommandLine& line, PackageOperands operands,
                       PackageLocation* where, std::string* error);
// The same, a failure said: kExitSuccess, or the exit status after the message.
int LocateNamedPackage(const CommandLine& line, PackageOperands operands,
                       PackageLocation* where);

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

// The subcommands, each given its arguments as read by the table of
// commands (command_line.h).
int RunScramble(const CommandLine& line);
int RunDescramble(const CommandLine& line);
int RunInfo(const CommandLine& line);
int RunTrace(const CommandLine& line);
int RunManifest(const CommandLine& line);
int RunSign(const CommandLine& line);
// Runs keep their records of taken lines in `stateDirectory`
// (taken_lines.h).
int RunVerify(const CommandLine& line, const std::string& stateDirectory);
// Operators' tools: where a package stands, what its runs did, re-arming it.
// Runs keep their locks in `runLockDirectory` (run_lock.h).
int RunStatus(const CommandLine& line, const std::string& runLockDirectory);
int RunReport(const CommandLine& line, const std::string& runLockDirectory);
int RunReset(const CommandLine& line, const std::string& runLockDirectory,
             const std::string& stateDirectory);
int RunPlan(const CommandLine& line);
int RunCheck(const CommandLine& line);
// Formats an argument file, under the run lock in `runLockDirectory`.
int RunFmt(const CommandLine& line, const std::string& runLockDirectory);
// The machine's runs from the history database in `historyDirectory`
// (history_db.h).
int RunHistoryTool(const CommandLine& line, const std::string& historyDirectory);

}  // namespace pxtool

#endif  // TOOLS_PXTOOL_PXTOOL_H_
