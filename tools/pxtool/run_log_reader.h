// Reading the run log (run_log.h: its layout and the texts of its lines)
// back into runs and commands: one LoggedRun per header block and one
// LoggedCommand per command started, with what followed it (its return code
// or skip, the run result its flags gave, a reboot request, ERROR lines) and
// the run's final code.
//
// Tolerant, never failing, linear in the size of the log: what a killed run
// or a full disk leaves is read as far as it goes (`ended`, `headerComplete`
// false; a torn last line is passed over; lines before the first header are
// a run of their own, `headerMissing`). Lines of runs writing into one log at
// once interleave: an event goes to the newest recent run it fits, a best
// guess since the lines carry no run identity. Time stamps are local time,
// counted as seconds as if they were UTC (right for differences and order).
//
// The texts of commands and errors are views into blocks their run owns
// (TextStore), valid while the LoggedRun or a copy of it lives; nothing is
// allocated per line. The parser can hand runs over once they can no longer
// change, so a reader that needs each run once keeps memory bounded.

#ifndef TOOLS_PXTOOL_RUN_LOG_READER_H_
#define TOOLS_PXTOOL_RUN_LOG_READER_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pxtool {

// A time stamp, as seconds counted as if the stamp were UTC (ParseLogStamp
// in run_log.h reads it, FormatLogStamp in run_report.h writes it back).
struct LogTime {
  long long seconds = -1;  // -1 when unknown
  bool Known() const { return seconds >= 0; }
};

// Keeps copies of texts in blocks that never move, so views into them stay
// valid while the store lives.
class TextStore {
 public:
  TextStore() = default;
  TextStore(const TextStore&) = delete;
  TextStore& operator=(const TextStore&) = delete;
  std::string_view Keep(const char* data, size_t size);
  // Forgets every text kept (views into them go stale); the blocks are
  // used again.
  void Clear();

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;  // of doubling sizes
  std::vector<size_t> sizes_;
  size_t current_ = 0;  // the block being filled, when any
  size_t used_ = 0;     // bytes used in it
};

struct LoggedCommand {
  std::string_view text;  // the text of its start line: masked, as run
  size_t logLine = 0;  // 1-based line of the log
  LogTime started;     // its start line
  LogTime ended;       // "Executed command", else the result line
  bool returned = false;  // a "returned" or "skipped" line was seen
  bool skipped = false;   // the line's mode prefix excluded the run's mode
  unsigned long long returnCode = 0;
  bool judged = false;  // "Executed command ... Retcode: R" was seen
  long long verdict = 0;  // R: the run result the flags gave
  bool rebootRequested = false;  // Status 4 written while it was open
  std::string_view error;  // the first ERROR line while it was open
  bool IsFlags() const { return text.substr(0, 4) == "flag"; }
};

struct LoggedRun {
  size_t logLine = 0;  // 1-based line of the header's first line
  bool headerMissing = false;   // lines before the log's first header
  bool headerComplete = false;  // the header's closing stars were seen
  LogTime started;              // from "Quillon V... Log <time>"
  std::vector<std::string> args;  // "** Arg [i]: ...", in order
  std::string workingDirectory;
  std::string section;    // "[Commands]"..., from "Use ... command section"
  bool fallback = false;  // the expert fallback was taken
  std::vector<LoggedCommand> commands;
  bool ended = false;  // "Quillon return code: 0x..." seen
  unsigned long long finalCode = 0;
  LogTime endedAt;
  LogTime lastSeen;  // the last time stamp of the run's lines
  bool rebootRequested = false;  // a status file with "Exit Status: 4"
  std::vector<std::string> errors;  // ERROR lines, the first kMaxErrors
  std::shared_ptr<TextStore> texts;  // what the commands' views point into
};

struct RunLog {
  std::vector<LoggedRun> runs;  // in the order their headers appear
  size_t lines = 0;
  // Runs handed to RunLogParser's retire function before runs[0]: runs[i]
  // is run number retired + i + 1 of the log.
  size_t retired = 0;
};

// Errors kept per run: a run whose every command fails should not make the
// report huge.
const size_t kMaxErrors = 20;

RunLog ReadRunLog(const char* data, size_t size);

// The same, fed piece by piece (a line may span pieces), so that a large
// log is read through a small buffer. With a `retire` function, each run
// that can no longer change (kRecentRuns newer runs exist) is handed to it
// with its 1-based number and then dropped, its memory used again: Finish()
// then holds only the last runs. What `retire` keeps it may take, moving it
// out of the run, or copy (a copy of a LoggedRun shares its texts and keeps
// them alive); the parser reuses what is left.
class RunLogParser {
 public:
  using Retire = std::function<void(LoggedRun& run, size_t number)>;
  explicit RunLogParser(Retire retire = Retire());
  ~RunLogParser();
  RunLogParser(const RunLogParser&) = delete;
  RunLogParser& operator=(const RunLogParser&) = delete;
  void Feed(const char* data, size_t size);
  // The log read so far, the last (unfinished) line included.
  RunLog Finish();

 private:
  class Reader;
  RunLog log_;
  Retire retire_;
  std::unique_ptr<Reader> reader_;
  std::string carry_;  // the start of a line whose end is in a later piece
  size_t number_ = 0;
  bool any_ = false;
};

// Kept apart from the parser: how many runs of the log are read back
// together, newest first, when a line could belong to any of them.
const size_t kRecentRuns = 8;

}  // namespace pxtool

#endif  // TOOLS_PXTOOL_RUN_LOG_READER_H_
