// pxtool's subcommands, one function each in a file of its own (the table of
// them is in pxtool_main.cc), taking the arguments after the name and
// returning the exit status: 0 success, 1 failure, 2 usage error (those that
// report a state have more). Messages go to standard error, begin with
// "pxtool: " and name the file they concern; standard output carries only
// the result.

#ifndef TOOLS_PXTOOL_PXTOOL_H_
#define TOOLS_PXTOOL_PXTOOL_H_

#include <cstdio>
#include <string>

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
int RunCheck(int argc, char** argv);

}  // namespace pxtool

#endif  // TOOLS_PXTOOL_PXTOOL_H_
