// The commands' output "Quillon.out" (kRunOutputName in run_log.h), kept
// beside the run log: what every command printed on its standard output
// and error, framed by lines of the run. This file owns the layout and
// reads it back; the run writes it through run_output_writer.h. Nothing
// here writes to a file.
//
// Layout. Frame lines are Quillon's own; everything between them is the
// commands' output byte for byte, both streams of a command interleaved in
// the order they were written (the command is handed the file itself).
//
//   === quillon <token> @<offset> run <stamp> pid <pid>
//   === quillon <token> @<offset> start <stamp> section <key> line <n> pid <shell pid> cmd <masked text>
//   <the command's output>
//   === quillon <token> @<offset> cut <bytes> bytes dropped     (only in a cut output)
//   <the last kOutputTailKept bytes of the command's output>
//   === quillon <token> @<offset> end <stamp> rc <code> ms <duration> written <bytes> kept <bytes> cut <bytes> nl <0|1>
//
// <token> is 16 lower-case hexadecimal digits drawn at random for each run;
// <offset> is the byte offset in the file at which the frame line itself
// begins. A reader takes a line for a frame line only when it begins with
// the mark, the token of the run it is in (for a run line: any token), and
// its own offset: a command that prints something that looks like a frame
// line, or even prints a copy of this very file, does not produce one,
// since its copy stands elsewhere. <stamp> is kLogTimeStampFormat; the run
// line's stamp is the one of the same run's header in the run log. The
// start line's <key> is the section's key, <n> the line's number in the
// argument file, <masked text> the command as the run log shows it (the
// word after "-pwd " masked; the output itself is never masked). The end
// line: <code> the command's return code as the run log shows it, written
// the bytes the command wrote, kept the bytes between the start line and
// the end line as they stand in the file, cut the bytes dropped from the
// middle, nl 1 when the run added a line feed after the output so that the
// end line begins a line (it is not part of the output).
//
// Bounds. Of a command that writes more than kOutputKeptPerCommand bytes,
// the first kOutputHeadKept and the last kOutputTailKept are kept, with a
// cut line between them (after a line feed of the run when the head does
// not end a line). A file over kOutputFileBound at a run's start or at a
// command's start is renamed to kRunOutputPreviousName (replacing the one
// before) and a new one begun, which repeats the run line of the run.
//
// A start line without an end line belongs to a command that still runs
// or whose run was killed: its output runs to the next frame line of the
// run, the next run line or the end of the file. Bytes after an end line
// and before the next frame line come from processes a command left
// running; the reader passes over them.
//
// Durability: nothing of this file is fsync'ed. What was written reaches
// the page cache at once and survives a crash of Quillon (a command killed
// with Quillon, or outliving it, goes on writing into the file); a power
// cut may lose its last part, or leave it with a tail of zeros.

#ifndef QUILLON_RUN_OUTPUT_H_
#define QUILLON_RUN_OUTPUT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What the file keeps of one command, and how large it may grow.
const uint64_t kOutputHeadKept = 512 * 1024;
const uint64_t kOutputTailKept = 512 * 1024;
const uint64_t kOutputKeptPerCommand = kOutputHeadKept + kOutputTailKept;
const uint64_t kOutputFileBound = 16 * 1024 * 1024;

// Every frame line begins with this, then the run's token.
extern const char kOutputFrameMark[];  // "=== quillon "
const size_t kOutputTokenLength = 16;

// The frame lines, each with its line feed. `stamp` is a time stamp of the
// run log's layout.
std::string OutputRunLine(std::string_view token, uint64_t offset,
                          std::string_view stamp, long pid);
std::string OutputCutLine(std::string_view token, uint64_t offset,
                          uint64_t dropped);

struct OutputEnd {
  std::string stamp;
  unsigned long returnCode = 0;
  unsigned long long milliseconds = 0;
  uint64_t written = 0;  // by the command
  uint64_t kept = 0;     // between the start and the end line
  uint64_t cut = 0;      // dropped from the middle
  bool lineFeedAdded = false;
};
std::string OutputEndLine(std::string_view token, uint64_t offset,
                          const OutputEnd& end);

// The start line in three pieces, for the shell's process to put its
// offset and its pid between: pieces[0] <offset> pieces[1] <pid> pieces[2].
struct OutputStartPieces {
  std::string pieces[3];
};
OutputStartPieces OutputStartLine(std::string_view token,
                                  std::string_view stamp,
                                  std::string_view sectionKey,
                                  size_t lineNumber,
                                  std::string_view maskedCommand);

// One command as the file shows it.
struct OutputCommand {
  uint64_t at = 0;  // offset of its start line
  std::string stamp, section, command;
  size_t line = 0;
  long shellPid = 0;
  // Its output: [begin, end) of the file's text.
  size_t begin = 0, end = 0;
  bool ended = false;  // false: no end line (still running, or killed)
  OutputEnd footer;    // when ended
};

// One run's part of the file.
struct OutputRun {
  uint64_t at = 0;  // offset of its run line
  std::string token, stamp;
  long pid = 0;
  std::vector<OutputCommand> commands;
};

// The frames of a file's text (read whole). Never fails: text that holds
// no frame line gives no runs.
std::vector<OutputRun> ParseRunOutput(std::string_view text);

// A command's output as kept (a cut output with its cut line).
std::string_view CommandOutput(std::string_view text,
                               const OutputCommand& command);

#endif  // QUILLON_RUN_OUTPUT_H_
