// The command line applied to the run: its mode globals and external value
// buffers (quillon.h), and the usage text. What the command line says is
// read by ParseCmdline (cmdline_options.h).

#ifndef QUILLON_CMDLINE_H_
#define QUILLON_CMDLINE_H_

#include <string>
#include <vector>

#include "cmdline_options.h"

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

#endif  // QUILLON_CMDLINE_H_
