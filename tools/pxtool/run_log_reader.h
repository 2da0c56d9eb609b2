// Reading the run log back into runs and commands.
//
// The run log (run_log.h: its name, layout and the texts of its lines, which
// the reader matches through the constants there) is appended to by every
// run of a package: a header block (the version and time, the arguments,
// the working directory), then one line per event, each "<LF><YYYY/MM/DD
// hh:mm:ss><TAB><text>". The reader turns that into one LoggedRun per header
// and one LoggedCommand per command started (QUILLON_LOG_EXEC_COMMAND), with
// what followed it: its return code, or that it was skipped, the run result
// its flags gave ("Executed command"), a status file written with status 4
// (a reboot request), ERROR lines, and the run's final code.
//
// It is tolerant, never fails and reads every byte once (time linear in the
// size of the log): what a killed run or a full disk leaves is read as far
// as it goes. A run without a final line has `ended` false; a header cut
// short has `headerComplete` false; a torn last line that no longer reads
// as an event is passed over; lines before the first header form a run of
// their own (`headerMissing`). Two runs writing into the same log at once
// (two argument files in one working directory) interleave their lines: an
// event goes to the newest recent run it fits (a result line to a run with
// a command open, "Executed command" to the run whose open command has that
// text, a final line to a run without one). That is a best guess, since the
// lines carry no run identity.
//
// Time stamps are kept as written (local time of the machine, second
// resolution) and as seconds counted as if they were UTC, which is right
// for differences and order.
//
// The texts of commands and their errors are views into blocks their run
// owns (TextStore): they stay valid as long as the LoggedRun, or a copy of
// it, lives. No allocation is made per line or per command. A reader that
// only needs each run once (pxtool report) lets the parser hand runs over
// as soon as they can no longer change, so memory stays bounded by a few
// runs whatever the size of the log.

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
// in run_log.h reads it, FormatLogStamp
// in run_report.h writes it back as it was written).
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
