// The command line: mode switches and the external values that the command
// runner substitutes into command texts.
//
// Every argument, the program path and the positional ones included, is
// compared with every option text, exactly and case-sensitively. Options
// that take a value consume the next argument. Of -update, -force and
// -expert the last one wins; forced mode is the default.

#ifndef QUILLON_CMDLINE_H_
#define QUILLON_CMDLINE_H_

#include <string>
#include <vector>

#include "command_text.h"

// Everything the command line says, as a value.
struct CmdlineOptions {
  enum Action { kRun, kVersion, kHelp } action = kRun;  // "-v", "-h" first
  bool debug = false;     // -d
  bool noReboot = false;  // -n
  bool force = true, update = false, expert = false;  // the last one wins
  bool autonomic = false;  // "autonomic" or "kbxmode" anywhere
  ExternalValues values;  // cleaned and bounded, markers taken out
  // Values that had to be shortened, each beginning with a line feed.
  std::vector<std::string> warnings;
};

// Reads the command line as the run does: every argument, the program path
// and the positional ones included, compared with every option text.
// Writes nothing and touches no global.
CmdlineOptions ParseCmdline(int argc, char** argv);

// Sets the mode globals and fills the external value buffers (quillon.h)
// from ParseCmdline.
// "-v"/"-version" and "-h"/"-help" print to standard output and end the
// process with code 0. Returns 0.
//
// A value longer than its buffer is shortened to fit. *warnings is set to
// the messages about every shortening, each beginning with a line feed, so
// that the run can trace and log them once its run log is open.
int evaluateCmdlineOptions(int argc, char** argv,
                           std::vector<std::string>* warnings);
// The suite's form, which keeps its two-argument signature: the same, with
// the messages about shortened values dropped.
int evaluateCmdlineOptions(int argc, char** argv);

// Prints the usage text for pToolName; nothing for a null name.
void Usage(char* pToolName);

// Cleans a text in place: double quotes, tabs and line feeds become blanks,
// trailing blanks are cut off. Returns a pointer to the first non-blank
// character (leading blanks stay in the buffer but are not part of the
// result).
char* cleanStringA(char* tmp_string);

#endif  // QUILLON_CMDLINE_H_
