// The command line as the run reads it: mode switches and the external
// values that the command runner substitutes into command texts. Part of
// the package model; the run applies it to its globals (cmdline.h), pxtool
// plans with it.
//
// Every argument, the program path and the positional ones included, is
// compared with every option text, exactly and case-sensitively. Options
// that take a value consume the next argument. Of -update, -force and
// -expert the last one wins; forced mode is the default.

#ifndef QUILLON_CMDLINE_OPTIONS_H_
#define QUILLON_CMDLINE_OPTIONS_H_

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

// Cleans a text in place: double quotes, tabs and line feeds become blanks,
// trailing blanks are cut off. Returns a pointer to the first non-blank
// character (leading blanks stay in the buffer but are not part of the
// result).
char* cleanStringA(char* tmp_string);

#endif  // QUILLON_CMDLINE_OPTIONS_H_
