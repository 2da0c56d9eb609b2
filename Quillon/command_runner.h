// The command runner: handles one pending command line of the chosen
// command section.
//
// In order: the command text (from offset 6) loses its mode prefix ("force"
// or "update" and one separator), gets the external values put in for its
// placeholders ("!{EXTVAR}", "!{RESET}", "!{PARAM}", first occurrence each),
// is logged with the word after "-pwd " masked, and the line is marked "1"
// and flushed to disk. Then a flags line sets the pending flags, a command
// of the other run mode is passed over (but still judged as 0), and any
// other command runs through the shell and is judged by the pending flags.
// The return code goes into the line's three-digit result field.

#ifndef QUILLON_COMMAND_RUNNER_H_
#define QUILLON_COMMAND_RUNNER_H_

#include <cstddef>
#include <string>

// Handles the pending command line at `line` of `size` characters (without
// its line feed and the character before it). Returns the judgement: 0 to go
// on, anything else to stop the section walk with that result. Returns 2 (8
// in autonomic mode) when its buffers cannot be had; the line then stays
// unmarked. A line shorter than its six leading columns holds no command: it
// is reported and passed over, unmarked.
int DoCommandA(char* line, size_t size, char* external_option,
               char* external_parameter, char* external_reset);

// Walks the command section whose key line starts at secStart (the package
// model's SectionWalk), handing every pending command line to DoCommandA.
// Returns 0 when the section ended, or the first non-zero result of
// DoCommandA. Raises EXECERROR_HandlerError when the text ends inside the
// section, or when a stopping signal has arrived before a pending line.
// currentDir names the file's directory in messages.
unsigned int RunCommandSection(char* secStart, char* end,
                               const std::string& currentDir);

#endif  // QUILLON_COMMAND_RUNNER_H_
