// The run's record in the history database (history_db.h): a value the run
// owns and hands to the section walk, told what happens as it happens.
//
// It never changes the run. Nothing it does reaches the run log, the trace,
// the status file, the standard streams or the exit code, and it throws
// nothing: a database that is missing, locked, corrupt or full, a directory
// that cannot be made or is refused, a lack of memory -- the first failure
// of a run is reported to the system log (system_log.h), once; the run goes
// on as it would without a history. A write that found another process's
// transaction for longer than kHistoryBusyMilliseconds is reported only
// when it was the run's last (before, what it held goes with the next
// write). A corrupt database is set aside and a new one begun (reported the
// same way); one that turns out corrupt in the middle of a run takes
// nothing more from it.
//
// Writes. The start is one transaction: the run's row, the older runs of
// the same package that have no end marked interrupted (when this run holds
// the package's lock, they cannot be running), and the runs older than the
// newest kHistoryKeptRuns removed. Each command that runs is one more,
// written just before it starts: the line with its start, together with
// whatever was held since the last write (the end of the line before it,
// lines that ran nothing, the digest and signer, the section). The end of
// the run is the last. A write that fails (another process held the
// database past kHistoryBusyMilliseconds, a full disk) keeps what it held
// for the next one. A run killed before its end leaves a run without an
// end: readers show it as interrupted.
//
// WAL with synchronous=NORMAL: a write reaches the WAL file, not the disk,
// before the command starts; a power cut may lose the last transactions of
// a run (it then shows as interrupted at the line before), never the
// database. The database's descriptors are close-on-exec: no command
// inherits them.

#ifndef QUILLON_RUN_HISTORY_H_
#define QUILLON_RUN_HISTORY_H_

#include <time.h>

#include <string>
#include <vector>

#include "history_db.h"
#include "system_log.h"

class RunHistory {
 public:
  // Where the database is; null or empty: nowhere, nothing is recorded. Not
  // copied.
  void SetDirectory(const char* directory) { directory_ = directory; }
  void SetSystemLog(const SystemLog& log) { log_ = log; }

  // The run's start: `run` holds what is known (no id, no end). Opens the
  // database and writes.
  void Start(const HistoryRun& run);
  bool Recording() const { return db_.IsOpen(); }

  // Facts learnt later, held until the next write.
  void SetDigest(const std::string& digest);
  void SetSigner(const std::string& keyId, const std::string& trustedComment);
  void SetSection(const std::string& key);

  // A line was taken (marked), `text` as the run log shows it. `runs`: its
  // command starts now, and everything is written first.
  void LineTaken(long long line, const std::string& text, bool runs);
  // Its command returned `returnCode`; until it is judged its verdict is
  // "error" (the run stopped on it).
  void LineReturned(unsigned int returnCode);
  // Its verdict (ok, go_on, ..., flags, skipped), with return code
  // `returnCode`.
  void LineJudged(const char* verdict, unsigned int returnCode);

  // Something of the run cannot be recorded (`why`: "out of memory"):
  // reported (once), and nothing more is written.
  void NotRecorded(const char* why);

  // The run's end: its final code, in words too, and the reboot it leaves.
  // Written at once.
  void End(unsigned int finalCode, bool autonomic);

 private:
  // Writes everything held in one transaction; false (reported) when it
  // failed, keeping it held.
  bool Write();
  void Report(const HistoryError& error);
  HistoryCommand* Current();

  const char* directory_ = nullptr;
  SystemLog log_;
  HistoryDb db_;
  HistoryRun run_;
  bool factsHeld_ = false;
  bool endHeld_ = false;
  std::vector<HistoryCommand> held_;  // lines whose last state is not written
  HistoryCommand current_;            // the line taken last
  struct timespec currentStart_ = {0, 0};
  long long lines_ = 0;
  bool reported_ = false;
};

#endif  // QUILLON_RUN_HISTORY_H_
