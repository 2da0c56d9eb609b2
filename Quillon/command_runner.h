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
#include <cstdio>
#include <string>

// Handles the pending command line at `line` of `size` characters (without
// its line feed and the character before it). Returns the judgement: 0 to go
// on, anything else to stop the section walk with that result. Returns 2 (8
// in autonomic mode) when its buffers cannot be had; the line then stays
// unmarked. A line shorter than its six leading columns holds no command: it
// is reported and passed over, unmarked. The "-d" line of a flags line that
// finds no memory goes to standard output (RunCommandSection takes the run's
// stream instead; this keeps the suite's signature).
int DoCommandA(char* line, size_t size, char* external_option,
               char* external_parameter, char* external_reset);

// The argument file as its signature was verified: a private copy of the
// mapped file, byte for byte at the same offsets, that no other process can
// change. With one, the section walk holds every pending line of the
// mapping against the copy (all but its mark and result field, through its
// line end) before anything of the line is logged or marked, and the runner
// takes the line's text from the copy, not from the mapping: what runs is
// what was verified, with no moment between the comparison and the use in
// which another process's write to the file could count. A line that
// differs, or a section end that is none in the copy, stops the run with
// the handler error before that line, which stays pending.
struct VerifiedText {
  const char* mapping = nullptr;  // the start of the mapped file
  const char* copy = nullptr;     // the start of the verified copy
  size_t size = 0;                // of both
};

// Walks the command section whose key line starts at secStart (the package
// model's SectionWalk), handing every pending command line to DoCommandA.
// Returns 0 when the section ended, or the first non-zero result of
// DoCommandA. Raises EXECERROR_HandlerError when the text ends inside the
// section, or when a stopping signal has arrived before a pending line.
// currentDir names the file's directory in messages. `verified`, when not
// null, is the copy to hold the lines against (see VerifiedText). The "-d"
// lines of the flags lines go to `debugOutput`: the run passes its private
// duplicate of the caller's standard output (descriptors.h).
unsigned int RunCommandSection(char* secStart, char* end,
                               const std::string& currentDir,
                               const VerifiedText* verified = nullptr,
                               FILE* debugOutput = stdout);

#endif  // QUILLON_COMMAND_RUNNER_H_
