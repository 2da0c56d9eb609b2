// The command runner: takes up the pending command lines of the chosen
// command section.
//
// What a line does is the package model's answer (pending_line.h): passed
// over, flags taken, a command of the other run mode skipped (judged as 0),
// or a command to run, with its text (mode prefix off, the external values
// put in for its placeholders). The runner carries that out in order: the
// command is logged with the word after "-pwd " masked, the line is marked
// "1" and flushed to disk, the flags are taken or the command runs through
// the shell and is judged by the pending flags, and the return code goes
// into the line's three-digit result field.
//
// Memory: everything a line needs (its text, the copy with the external
// values, the flags text) is had before its mark; a line without memory for
// it stays pending. The masked copy for the trace and the run log comes
// after: without it the command is not shown, and still runs.

#ifndef QUILLON_COMMAND_RUNNER_H_
#define QUILLON_COMMAND_RUNNER_H_

#include <cstddef>
#include <cstdio>
#include <string>

struct ArgFileView;
class RunHistory;
class RunOutputWriter;

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

// Chooses the command section of the run's mode in [text, end) (the package
// model's ChooseSection), reports the choice to the trace and the run log,
// and applies the expert fallback: an expert run without "[ExpCommands]"
// runs "[Commands]" as a forced run, so `force` is set and `expert`
// cleared. Returns the start of the section's key. Raises
// EXECERROR_HandlerError when there is no section to run.
const char* EnterCommandSection(const char* text, const char* end);

// What the section walk works with, besides the section itself.
struct SectionContext {
  // The mapped argument file: marks are flushed to it and go into its
  // record of taken lines, and it is looked at for changes after every
  // command. Null: the marks are written, nothing more (DoCommandA).
  const ArgFileView* file = nullptr;
  // The copy to hold the lines against (see VerifiedText), or null.
  const VerifiedText* verified = nullptr;
  std::string currentDir;  // names the file's directory in messages
  // The "-d" lines of the flags lines: the run passes its private
  // duplicate of the caller's standard output (descriptors.h).
  FILE* debugOutput = stdout;
  // The commands' output file (run_output_writer.h), or null: the commands
  // then get /dev/null on standard output and error.
  RunOutputWriter* output = nullptr;
  // The run's history (run_history.h), or null: told of every line taken,
  // the command's start (before it starts), its return code and verdict.
  RunHistory* history = nullptr;
};

// Walks the command section whose key line starts at secStart (the package
// model's SectionWalk), taking up every pending command line as DoCommandA
// does. Returns 0 when the section ended, or the first non-zero result of
// a line. Raises EXECERROR_HandlerError when the text ends inside the
// section, or when a stopping signal has arrived before a pending line.
unsigned int RunCommandSection(char* secStart, char* end,
                               const SectionContext& section);

#endif  // QUILLON_COMMAND_RUNNER_H_
