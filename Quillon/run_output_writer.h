// Writing the commands' output file (run_output.h: its name, layout and
// bounds): opening it beside the run log, the run line, a command's start
// line (which the shell's process writes, see shell.h), keeping the output
// within its bound while the command runs, and the end line.
//
// Both standard output and error of a command are the file itself (one
// open file, O_APPEND), so its output lands there in the order written,
// nothing of it passes through Quillon, and a command outliving a killed
// Quillon goes on writing into it. The run keeps a second descriptor of
// the same file (no O_APPEND, holding an flock that keeps a second run in
// the same directory off the file) to look at it and cut it. Both are
// close-on-exec; only the shell's process gets the file, as 1 and 2.
//
// Bounds (run_output.h). While a command runs, whenever its output has
// grown past kOutputKeptPerCommand by kOutputPunchStep, the part between
// the head and the last kOutputTailKept bytes is punched out
// (FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE): the file keeps its length,
// the disk holds about the bound, and the command writes at its own speed.
// Growth is seen through inotify on the file, looked at by the wait in the
// shell. When the command has ended, the tail is moved to just after the
// head and a cut line, and the file truncated behind it. A file over
// kOutputFileBound at the run's start or at a command's start is renamed
// to kRunOutputPreviousName and a new one created (exclusively, never
// through a name someone else planted).
//
// Failures never change the run: a file that cannot be had (a link or
// someone else's file at the name, a second run on it, no descriptor)
// leaves the commands /dev/null; a write, cut or rotation that fails is
// reported, and the output goes on or stops. Reports go to the trace and
// to the system log only; the run log's lines are fixed.
//
// Durability: nothing is fsync'ed (see run_output.h). A command killed at
// any moment leaves its output up to its last write and a start line
// without an end line; a run killed during a cut leaves a file whose end
// line is missing and whose output may hold the tail twice or a stretch of
// zeros where the hole was.

#ifndef QUILLON_RUN_OUTPUT_WRITER_H_
#define QUILLON_RUN_OUTPUT_WRITER_H_

#include <time.h>

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include "run_output.h"
#include "shell.h"
#include "system_log.h"

// How far the output grows past its bound between two holes punched.
const uint64_t kOutputPunchStep = 512 * 1024;

class RunOutputWriter : public OutputWatcher {
 public:
  RunOutputWriter() = default;
  ~RunOutputWriter() override;  // closes its descriptors
  RunOutputWriter(const RunOutputWriter&) = delete;
  RunOutputWriter& operator=(const RunOutputWriter&) = delete;

  // Where failures are reported besides the trace: null for the system log
  // (syslog), else a file to append the lines to ("" for nowhere). Not
  // copied.
  void SetSystemLog(const char* file) { systemLog_ = SystemLog(file); }

  // Opens kRunOutputName in the current directory for the run that started
  // at `startTime` (the stamp of the run log's header), rotating a file
  // over its bound, and writes the run line. False, with the failure
  // reported and nothing kept open, when the file cannot be had.
  bool Open(time_t startTime);
  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Token() const { return token_; }

  // Before a command starts: rotates a file over its bound and fills
  // `shell` (the descriptor, the start line's pieces, this as watcher),
  // which must stay in place until EndCommand. False when there is no
  // output: the command then gets /dev/null.
  bool BeginCommand(const char* sectionKey, size_t lineNumber,
                    const std::string& maskedCommand, ShellOutput* shell);

  // While it runs (shell.h): punches the middle out once the output is
  // over its bound. True when it did.
  bool Check() override;

  // After it ended with `returnCode`: cuts an output over its bound and
  // writes the end line.
  void EndCommand(unsigned int returnCode);

 private:
  // Reports a failure of the file to the trace and the system log, `ending`
  // after the formatted text.
  void ReportV(const char* ending, const char* format, va_list args);
  void Report(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Reports a failure that leaves the commands /dev/null (the text gets
  // " - commands get /dev/null"), closes the file and returns false.
  bool GiveUp(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Close();
  // Opens the file at the name (existing, or `fresh`: created anew) with
  // its lock, its appending descriptor and its watch.
  bool OpenFile(bool fresh);
  // Renames a file over kOutputFileBound and begins a new one with the run
  // line (*rotated); true when nothing needed doing or it worked.
  bool RotateIfFull(bool* rotated);
  // Appends the run line, after a line feed if the file does not end a
  // line. False, reported and with nothing kept open, when it fails.
  bool WriteRunLine();
  bool Size(uint64_t* size);
  bool EndsLine(uint64_t size, bool* endsLine);
  // Moves `length` bytes from `from` to `to` within the file, as memmove.
  bool Move(uint64_t from, uint64_t to, uint64_t length);
  // Cuts the output [begin, end): head, cut line, tail. Returns the new end.
  bool Cut(uint64_t begin, uint64_t end, uint64_t* newEnd);
  // Where the command's output begins: after its start line.
  static uint64_t OutputBegin(const ShellOutput& shell);

  SystemLog systemLog_;
  int dir_ = -1;     // the working directory (O_PATH)
  int fd_ = -1;      // read and write, no O_APPEND; holds the flock
  int append_ = -1;  // O_APPEND: the frame lines and the commands' 1 and 2
  int wake_ = -1;    // inotify on the file, or -1
  std::string token_, stamp_;
  long pid_ = 0;
  // The running command.
  ShellOutput* shell_ = nullptr;
  OutputStartPieces start_;
  struct timespec started_ = {0, 0};
  uint64_t punchedTo_ = 0;
  bool punchFailed_ = false;
  std::vector<char> buffer_;  // for moving the tail
};

#endif  // QUILLON_RUN_OUTPUT_WRITER_H_
