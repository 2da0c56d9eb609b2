// The history database: what every run of Quillon on this machine did, kept
// after its package (and with it the run log and the status file) is gone.
// One SQLite file, "<directory>/history.db" (kHistoryDirectory in the
// shipped program), in WAL mode. This file pair is the one owner of its
// format: the schema, its migrations and every statement. The run writes
// through RunHistory (run_history.h), pxtool history reads (and prunes).
//
// The schema's version is SQLite's user_version. kMigrations (history_db.cc)
// holds one step per version: step i takes a database from version i to
// i + 1 in one transaction, so a database of any older version is brought up
// to date by the first writer that opens it. Later versions only add tables
// and columns: a database of a newer version is read (by the columns named
// here) but never written.
//
// The directory holds root's state (the effective user's): it is made with
// mode 0700 when missing, never through a symbolic link, and used only when
// it is a directory of the effective user that nobody else can write
// (root_only.h); the database file is made with mode 0600 whatever the umask,
// and used only when it is a regular file of the effective user, not a link.
// SQLite makes its "-wal" and "-shm" files beside it with the file's mode.
// Every descriptor is close-on-exec (SQLite opens with O_CLOEXEC).
//
// Failures are values (HistoryError); nothing here throws but std::bad_alloc,
// which the run's caller catches.

#ifndef QUILLON_HISTORY_DB_H_
#define QUILLON_HISTORY_DB_H_

#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

extern const char kHistoryDirectory[];  // "/var/lib/quillon"
extern const char kHistoryFileName[];   // "history.db"
// The version the schema has once every migration ran.
int HistorySchemaVersion();
// Runs kept by a run's writer: the newest ones.
const long long kHistoryKeptRuns = 10000;
// The longest a write waits for another process's transaction.
const int kHistoryBusyMilliseconds = 250;

struct HistoryError {
  enum Kind {
    kNone,
    kBusy,     // another process held the database longer than the wait
    kCorrupt,  // SQLITE_CORRUPT, SQLITE_NOTADB, or the integrity check failed
    kNewer,    // made by a newer version: not written
    kOther,    // anything else: the file system (full, read-only), a refusal
  };
  Kind kind = kNone;
  int code = 0;      // SQLite's extended result code (0 for a refusal)
  std::string what;  // "<path>: <reason>"
  explicit operator bool() const { return kind != kNone; }
};

// One run, as it is stored (a row of `runs`).
struct HistoryRun {
  long long id = 0;  // ascending in the order runs started
  std::string packageDir;  // the working directory, absolute
  std::string argFile;     // the argument file, absolute: names the package
  std::string initialDir;  // where Quillon was started
  std::string mode;        // classic, local, autonomic
  std::string section;     // the section's key ("" not known)
  std::string commandLine; // every argument, blank-separated, -pwd masked
  // argv[1], argv[2], ... as given; none when the command line held a
  // "-pwd " value, which is never stored.
  std::optional<std::vector<std::string>> arguments;
  bool lockHeld = false;   // the run held the package's run lock
  long long pid = 0;
  unsigned long long pidStart = 0;  // field 22 of /proc/<pid>/stat
  std::string bootId;
  long long startedMs = 0;  // Unix time in milliseconds (UTC)
  std::string digest;       // the argument file's pristine digest, or ""
  std::string keyId;        // the signer's key id when the signature was checked, or ""
  std::string trustedComment;
  std::optional<long long> endedMs;
  std::optional<long long> finalCode;
  std::string verdict;  // of the final code ("" without an end)
  std::string reboot;   // requested, suppressed, delayed, none ("" without an end)
  // When a later run of the package found this one without an end.
  std::optional<long long> interruptedMs;
};

// One line a run took (a row of `commands`).
struct HistoryCommand {
  long long seq = 0;   // 1, 2, ... in the order the run took its lines
  long long line = 0;  // in the argument file, 1-based
  std::string text;    // as the run log shows it (-pwd masked)
  long long startedMs = 0;
  std::optional<long long> durationMs;  // none: no end recorded
  std::optional<long long> returnCode;
  // ok, go_on, aborted, reboot, ... (outcome_words.h), flags, skipped,
  // error (the run stopped on the line without a judgement); "" none yet.
  std::string verdict;
};

struct HistoryQuery {
  std::string package;  // a package directory or an argument file; "" all
  std::optional<long long> sinceMs;
  long long last = 0;   // the newest N of those; 0 all
};

class HistoryDb {
 public:
  HistoryDb() = default;
  ~HistoryDb();
  HistoryDb(const HistoryDb&) = delete;
  HistoryDb& operator=(const HistoryDb&) = delete;

  // Opens the database in `directory` for writing: the directory and the
  // file are made when missing, WAL is set, the schema migrated and its
  // integrity checked (quick_check). A corrupt database, and its "-wal" and
  // "-shm", are set aside as "history.db.corrupt-<YYYYMMDDTHHMMSSZ>" (and
  // "...-wal", "...-shm") and a new one begun; *setAside then names it.
  bool OpenForWriting(const std::string& directory, std::string* setAside,
                      HistoryError* error);
  // Opens it read-only. False without an error when there is no database
  // or one without a schema (nothing recorded yet).
  bool OpenForReading(const std::string& directory, HistoryError* error);
  bool IsOpen() const { return db_ != nullptr; }
  const std::string& path() const { return path_; }
  void Close();

  // Writing: one transaction (BEGIN IMMEDIATE) around the calls.
  bool Begin(HistoryError* error);
  bool Commit(HistoryError* error);
  void Rollback();
  // Adds a run; *id receives its id.
  bool InsertRun(const HistoryRun& run, long long* id, HistoryError* error);
  // What the run learns after its start: digest, signer, section.
  bool UpdateRunFacts(const HistoryRun& run, HistoryError* error);
  // Adds the command, or replaces it with what is known now.
  bool PutCommand(long long runId, const HistoryCommand& command,
                  HistoryError* error);
  bool EndRun(const HistoryRun& run, HistoryError* error);
  // Marks the runs of `argFile` before `runId` that have no end as
  // interrupted at `whenMs`.
  bool MarkInterrupted(const std::string& argFile, long long runId,
                       long long whenMs, HistoryError* error);
  // Removes the runs (and their commands) older than the newest `keep`.
  // Cheap: by id alone, which counts runs as long as only the oldest are
  // ever removed. *removed (if given) counts the runs removed.
  bool Prune(long long keep, long long* removed, HistoryError* error);

  // Reading: the runs the query selects, oldest first.
  bool ReadRuns(const HistoryQuery& query, std::vector<HistoryRun>* runs,
                HistoryError* error);
  bool ReadRun(long long id, std::optional<HistoryRun>* run, HistoryError* error);
  bool ReadCommands(long long runId, std::vector<HistoryCommand>* commands,
                    HistoryError* error);
  // The number of ended runs for each verdict.
  bool CountEndedByVerdict(std::vector<std::pair<std::string, long long>>* counts,
                           HistoryError* error);
  // The runs without an end.
  bool ReadOpenRuns(std::vector<HistoryRun>* runs, HistoryError* error);
  // For each package (argument file), its newest run that held the
  // package's lock (a run turned away by another run's lock is none).
  bool ReadLastRuns(std::vector<HistoryRun>* runs, HistoryError* error);

 private:
  enum Statement {
    kInsertRun, kUpdateFacts, kPutCommand, kEndRun, kMarkInterrupted,
    kPruneRuns, kPruneCommands, kMaxId, kReadCommands, kCountEndedByVerdict,
    kReadRun, kStatementCount
  };
  bool Open(const std::string& directory, bool write, std::string* setAside,
            HistoryError* error);
  // Makes the file root's alone in the root-only directory, which is made
  // when missing; `again`, after a corrupt file was set aside: the directory
  // is not made again, and a failure to open it is said of the file.
  bool MakeFile(bool again, HistoryError* error);
  bool OpenFile(bool write, HistoryError* error);
  bool SetUp(HistoryError* error);
  bool SetWal(HistoryError* error);
  bool SetAside(std::string* setAside, HistoryError* error);
  bool Exec(const char* sql, HistoryError* error, const char* doing = nullptr);
  sqlite3_stmt* Prepared(Statement which, HistoryError* error);
  // Runs `which` with `values` bound to ?1, ?2, ... (history_db.cc's Bind
  // has their kinds), handing each row to `row`; false with *error when it
  // fails, `doing` ("read", "write") saying what failed.
  template <typename Row, typename... Values>
  bool Execute(Statement which, const char* doing, HistoryError* error, Row row,
               const Values&... values);
  // Runs the writing statement `which` with `values`.
  template <typename... Values>
  bool Write(Statement which, HistoryError* error, const Values&... values);
  bool Query(const std::string& sql, const std::vector<std::string>& texts,
             const std::vector<long long>& numbers,
             std::vector<HistoryRun>* runs, HistoryError* error);
  bool Failed(int code, const char* doing, HistoryError* error);

  sqlite3* db_ = nullptr;
  sqlite3_stmt* statements_[kStatementCount] = {};
  std::string directory_, path_;
};

// "YYYY-MM-DDTHH:MM:SS+00:00" for `ms` (UTC, whole seconds).
std::string HistoryTime(long long ms);
// Milliseconds since the epoch now.
long long HistoryNowMs();

#endif  // QUILLON_HISTORY_DB_H_
