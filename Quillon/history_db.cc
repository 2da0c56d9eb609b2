#include "history_db.h"

#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "root_only.h"

const char kHistoryDirectory[] = "/var/lib/quillon";
const char kHistoryFileName[] = "history.db";

namespace {

// One step of the schema: run on a database of version i (its index) it
// makes version i + 1.
struct Migration {
  const char* what;
  const char* sql;
};

const Migration kMigrations[] = {
    {"runs and the lines they took",
     "CREATE TABLE runs ("
     " id INTEGER PRIMARY KEY,"
     " package TEXT NOT NULL,"
     " arg_file TEXT NOT NULL,"
     " initial_dir TEXT NOT NULL,"
     " mode TEXT NOT NULL,"
     " section TEXT,"
     " command_line TEXT NOT NULL,"
     " arguments BLOB,"
     " lock_held INTEGER NOT NULL,"
     " pid INTEGER NOT NULL,"
     " pid_start INTEGER NOT NULL,"
     " boot_id TEXT NOT NULL,"
     " started_ms INTEGER NOT NULL,"
     " digest TEXT,"
     " key_id TEXT,"
     " trusted_comment TEXT,"
     " ended_ms INTEGER,"
     " final_code INTEGER,"
     " verdict TEXT,"
     " reboot TEXT,"
     " interrupted_ms INTEGER);"
     "CREATE INDEX runs_by_argument_file ON runs(arg_file, id) WHERE lock_held = 1;"
     "CREATE INDEX runs_by_package ON runs(package, id);"
     "CREATE INDEX runs_open ON runs(id) WHERE ended_ms IS NULL;"
     "CREATE TABLE commands ("
     " run_id INTEGER NOT NULL,"
     " seq INTEGER NOT NULL,"
     " line INTEGER NOT NULL,"
     " text TEXT NOT NULL,"
     " started_ms INTEGER NOT NULL,"
     " duration_ms INTEGER,"
     " return_code INTEGER,"
     " verdict TEXT,"
     " PRIMARY KEY (run_id, seq)) WITHOUT ROWID;"},
};

const char kRunColumns[] =
    "id, package, arg_file, initial_dir, mode, section, command_line, arguments,"
    " lock_held, pid, pid_start, boot_id, started_ms, digest, key_id,"
    " trusted_comment, ended_ms, final_code, verdict, reboot, interrupted_ms";

const char* const kStatementText[] = {
    // kInsertRun
    "INSERT INTO runs (package, arg_file, initial_dir, mode, section,"
    " command_line, arguments, lock_held, pid, pid_start, boot_id, started_ms,"
    " digest, key_id, trusted_comment)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)",
    // kUpdateFacts
    "UPDATE runs SET section = ?2, digest = ?3, key_id = ?4, trusted_comment = ?5"
    " WHERE id = ?1",
    // kPutCommand
    "INSERT OR REPLACE INTO commands (run_id, seq, line, text, started_ms,"
    " duration_ms, return_code, verdict) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
    // kEndRun
    "UPDATE runs SET ended_ms = ?2, final_code = ?3, verdict = ?4, reboot = ?5"
    " WHERE id = ?1",
    // kMarkInterrupted: through the small index of the runs without an end
    "UPDATE runs SET interrupted_ms = ?3 WHERE ended_ms IS NULL AND"
    " interrupted_ms IS NULL AND arg_file = ?1 AND id < ?2",
    // kPruneRuns, kPruneCommands
    "DELETE FROM runs WHERE id <= ?1",
    "DELETE FROM commands WHERE run_id <= ?1",
    // kMaxId
    "SELECT max(id) FROM runs",
    // kReadCommands
    "SELECT seq, line, text, started_ms, duration_ms, return_code, verdict"
    " FROM commands WHERE run_id = ?1 ORDER BY seq",
    // kCountEndedByVerdict
    "SELECT verdict, count(*) FROM runs WHERE ended_ms IS NOT NULL"
    " GROUP BY verdict ORDER BY verdict",
    // kReadRun: filled in below with the columns
    nullptr,
};

// Text of column `i`, "" for NULL.
std::string TextColumn(sqlite3_stmt* statement, int i) {
  const unsigned char* text = sqlite3_column_text(statement, i);
  return text != nullptr
             ? std::string(reinterpret_cast<const char*>(text),
                           static_cast<size_t>(sqlite3_column_bytes(statement, i)))
             : std::string();
}

std::optional<long long> NumberColumn(sqlite3_stmt* statement, int i) {
  if (sqlite3_column_type(statement, i) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_int64(statement, i);
}

// A run from a row of kRunColumns.
HistoryRun RunFromRow(sqlite3_stmt* row) {
  HistoryRun run;
  run.id = sqlite3_column_int64(row, 0);
  run.packageDir = TextColumn(row, 1);
  run.argFile = TextColumn(row, 2);
  run.initialDir = TextColumn(row, 3);
  run.mode = TextColumn(row, 4);
  run.section = TextColumn(row, 5);
  run.commandLine = TextColumn(row, 6);
  if (sqlite3_column_type(row, 7) != SQLITE_NULL) {
    // The arguments, each ended by a NUL.
    const std::string blob = TextColumn(row, 7);
    run.arguments.emplace();
    for (size_t at = 0; at < blob.size();) {
      const size_t end = std::min(blob.find('\0', at), blob.size());
      run.arguments->push_back(blob.substr(at, end - at));
      at = end + 1;
    }
  }
  run.lockHeld = sqlite3_column_int64(row, 8) != 0;
  run.pid = sqlite3_column_int64(row, 9);
  run.pidStart = static_cast<unsigned long long>(sqlite3_column_int64(row, 10));
  run.bootId = TextColumn(row, 11);
  run.startedMs = sqlite3_column_int64(row, 12);
  run.digest = TextColumn(row, 13);
  run.keyId = TextColumn(row, 14);
  run.trustedComment = TextColumn(row, 15);
  run.endedMs = NumberColumn(row, 16);
  run.finalCode = NumberColumn(row, 17);
  run.verdict = TextColumn(row, 18);
  run.reboot = TextColumn(row, 19);
  run.interruptedMs = NumberColumn(row, 20);
  return run;
}

// The values a statement's parameters take (HistoryDb::Execute binds them
// to ?1, ?2, ... in order). A text is NOT NULL as it is; EmptyIsNull binds
// "" as NULL (a column where "" means not known), and a null pointer NULL.
struct EmptyIsNull {
  const std::string& text;
};

void Bind(sqlite3_stmt* statement, int i, long long value) {
  sqlite3_bind_int64(statement, i, value);
}

void Bind(sqlite3_stmt* statement, int i, const std::optional<long long>& value) {
  if (value)
    sqlite3_bind_int64(statement, i, *value);
  else
    sqlite3_bind_null(statement, i);
}

void Bind(sqlite3_stmt* statement, int i, const std::string* text) {
  if (text != nullptr)
    sqlite3_bind_text(statement, i, text->data(), static_cast<int>(text->size()),
                      SQLITE_TRANSIENT);
  else
    sqlite3_bind_null(statement, i);
}

void Bind(sqlite3_stmt* statement, int i, const std::string& text) {
  Bind(statement, i, &text);
}

void Bind(sqlite3_stmt* statement, int i, EmptyIsNull value) {
  Bind(statement, i, value.text.empty() ? nullptr : &value.text);
}

// The arguments as one BLOB, each ended by a NUL (RunFromRow splits it);
// NULL when they are not kept.
void Bind(sqlite3_stmt* statement, int i,
          const std::optional<std::vector<std::string>>& arguments) {
  if (!arguments) {
    sqlite3_bind_null(statement, i);
    return;
  }
  std::string blob;
  for (const std::string& argument : *arguments) blob.append(argument).push_back('\0');
  sqlite3_bind_blob(statement, i, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
}

// A refusal of this file pair's own (no SQLite code), `what` saying it.
bool Refused(HistoryError* error, std::string what,
             HistoryError::Kind kind = HistoryError::kOther) {
  error->kind = kind;
  error->code = 0;
  error->what = std::move(what);
  return false;
}

bool IsCorrupt(int code) {
  return (code & 0xFF) == SQLITE_CORRUPT || (code & 0xFF) == SQLITE_NOTADB;
}

bool IsBusy(int code) {
  return (code & 0xFF) == SQLITE_BUSY || (code & 0xFF) == SQLITE_LOCKED;
}

// "YYYYMMDDTHHMMSSZ" now.
std::string SetAsideStamp() {
  time_t now = time(nullptr);
  struct tm utc;
  gmtime_r(&now, &utc);
  char text[32];
  strftime(text, sizeof(text), "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

}  // namespace

int HistorySchemaVersion() {
  return static_cast<int>(sizeof(kMigrations) / sizeof(kMigrations[0]));
}

std::string HistoryTime(long long ms) {
  time_t seconds = static_cast<time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  struct tm utc;
  if (gmtime_r(&seconds, &utc) == nullptr) return "";
  char text[64];
  strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S+00:00", &utc);
  return text;
}

long long HistoryNowMs() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

HistoryDb::~HistoryDb() { Close(); }

void HistoryDb::Close() {
  for (sqlite3_stmt*& statement : statements_) {
    sqlite3_finalize(statement);
    statement = nullptr;
  }
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
}

bool HistoryDb::Failed(int code, const char* doing, HistoryError* error) {
  error->kind = IsCorrupt(code) ? HistoryError::kCorrupt
                : IsBusy(code)  ? HistoryError::kBusy
                                : HistoryError::kOther;
  error->code = code;
  const char* message = db_ != nullptr && sqlite3_extended_errcode(db_) == code
                            ? sqlite3_errmsg(db_)
                            : sqlite3_errstr(code);
  error->what = path_ + ": " + doing + ": " + message;
  return false;
}

bool HistoryDb::Exec(const char* sql, HistoryError* error, const char* doing) {
  int code = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  return code == SQLITE_OK || Failed(code, doing != nullptr ? doing : sql, error);
}

bool HistoryDb::OpenForWriting(const std::string& directory,
                               std::string* setAside, HistoryError* error) {
  return Open(directory, true, setAside, error);
}

bool HistoryDb::OpenForReading(const std::string& directory, HistoryError* error) {
  return Open(directory, false, nullptr, error);
}

bool HistoryDb::Open(const std::string& directory, bool write,
                     std::string* setAside, HistoryError* error) {
  Close();
  *error = HistoryError();
  directory_ = directory;
  path_ = directory + "/" + kHistoryFileName;
  struct stat st;
  if (write && !MakeFile(false, error)) return false;
  if (!write && lstat(path_.c_str(), &st) != 0 && errno == ENOENT) return false;
  if (!OpenFile(write, error)) return false;
  if (SetUp(error)) return true;
  if (!write || error->kind != HistoryError::kCorrupt) {
    // (Read-only, a database without a schema: nothing recorded, no error.)
    Close();
    return false;
  }
  // A corrupt database is kept aside for a look, and a new one begun.
  Close();
  if (!SetAside(setAside, error) || !MakeFile(true, error)) return false;
  *error = HistoryError();
  if (OpenFile(true, error) && SetUp(error)) return true;
  Close();
  return false;
}

bool HistoryDb::MakeFile(bool again, HistoryError* error) {
  // The directory and the file are root's alone, made so when missing;
  // OpenRootsFile makes the file with mode 0600 whatever the umask.
  std::string why;
  int dirFd = OpenRootsDirectory(directory_, "the history database", !again, nullptr, &why);
  if (dirFd < 0 && !again)
    return Refused(error, why.empty() ? directory_ + ": " + strerror(errno) : why);
  int fd = dirFd < 0 ? -1 : OpenRootsFile(dirFd, kHistoryFileName, O_RDWR | O_CREAT, &why);
  int openError = errno;
  if (dirFd >= 0) close(dirFd);
  if (fd < 0) return Refused(error, path_ + ": " + (why.empty() ? strerror(openError) : why));
  close(fd);
  return true;
}

bool HistoryDb::OpenFile(bool write, HistoryError* error) {
  const int flags = (write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) |
                    SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_EXRESCODE |
                    SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_PRIVATECACHE;
  int code = sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr);
  if (code != SQLITE_OK) {
    Failed(code, "open", error);
    Close();
    return false;
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kHistoryBusyMilliseconds);
  return true;
}

bool HistoryDb::SetUp(HistoryError* error) {
  const bool write = !sqlite3_db_readonly(db_, "main");
  if (write && !SetWal(error)) return false;
  // Committed transactions reach the WAL file without a flush to disk; the
  // checkpoint flushes. A power cut may lose the last ones, never the
  // database.
  if (!Exec("PRAGMA synchronous = NORMAL", error)) return false;
  auto version = [&](int* value) {
    sqlite3_stmt* statement = nullptr;
    int code = sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &statement, nullptr);
    if (code == SQLITE_OK) code = sqlite3_step(statement);
    if (code == SQLITE_ROW) *value = sqlite3_column_int(statement, 0);
    sqlite3_finalize(statement);
    return code == SQLITE_ROW || Failed(code, "read user_version", error);
  };
  int current = 0;
  if (!version(&current)) return false;
  const int known = HistorySchemaVersion();
  if (current > known && write)
    return Refused(error, path_ + ": schema version " + std::to_string(current) +
                              " is newer than this program's " + std::to_string(known) +
                              " - not written",
                   HistoryError::kNewer);
  if (current < known && write) {
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    // Another process may have migrated it meanwhile.
    bool ok = version(&current);
    for (int step = current; ok && step < known; ++step) {
      std::string doing = "migration to version " + std::to_string(step + 1) +
                          " (" + kMigrations[step].what + ")";
      ok = Exec(kMigrations[step].sql, error, doing.c_str());
      std::string set = "PRAGMA user_version = " + std::to_string(step + 1);
      ok = ok && Exec(set.c_str(), error);
    }
    if (!ok || !Exec("COMMIT", error)) {
      Rollback();
      return false;
    }
  }
  // A database no writer has set up yet holds no runs.
  if (!write) return current > 0;
  sqlite3_stmt* check = nullptr;
  int code = sqlite3_prepare_v2(db_, "PRAGMA quick_check", -1, &check, nullptr);
  if (code == SQLITE_OK) code = sqlite3_step(check);
  std::string result = code == SQLITE_ROW ? TextColumn(check, 0) : "";
  sqlite3_finalize(check);
  if (code != SQLITE_ROW) return Failed(code, "quick_check", error);
  if (result != "ok") {
    error->kind = HistoryError::kCorrupt;
    error->code = SQLITE_CORRUPT;
    error->what = path_ + ": integrity check: " + result;
    return false;
  }
  return true;
}

bool HistoryDb::SetWal(HistoryError* error) {
  // A new database is switched to WAL once, by its first writer. The switch
  // takes the file whole and does not wait for another process (SQLite's
  // busy handler is not asked), so it is tried again for the time a write
  // would wait: two runs starting on a new database both get it.
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    sqlite3_stmt* statement = nullptr;
    int code = sqlite3_prepare_v2(db_, "PRAGMA journal_mode = WAL", -1, &statement, nullptr);
    if (code == SQLITE_OK) code = sqlite3_step(statement);
    sqlite3_finalize(statement);
    if (code == SQLITE_ROW || code == SQLITE_DONE) return true;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long waited = (now.tv_sec - start.tv_sec) * 1000LL +
                             (now.tv_nsec - start.tv_nsec) / 1000000;
    if (!IsBusy(code) || waited >= kHistoryBusyMilliseconds)
      return Failed(code, "PRAGMA journal_mode = WAL", error);
    struct timespec pause = {0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

bool HistoryDb::SetAside(std::string* setAside, HistoryError* error) {
  std::string stamp = SetAsideStamp();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string aside = path_ + ".corrupt-" + stamp;
    if (attempt > 0) aside += "." + std::to_string(attempt);
    if (renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, aside.c_str(),
                  RENAME_NOREPLACE) != 0) {
      if (errno == EEXIST) continue;
      return Refused(error, path_ + ": corrupt, and cannot be set aside: " + strerror(errno));
    }
    // The journal files belong to the old database, never to the new one.
    for (const char* suffix : {"-wal", "-shm"})
      rename((path_ + suffix).c_str(), (aside + suffix).c_str());
    if (setAside != nullptr) *setAside = aside;
    return true;
  }
  return Refused(error, path_ + ": corrupt, and no name is free to set it aside");
}

sqlite3_stmt* HistoryDb::Prepared(Statement which, HistoryError* error) {
  if (statements_[which] != nullptr) {
    sqlite3_reset(statements_[which]);
    sqlite3_clear_bindings(statements_[which]);
    return statements_[which];
  }
  std::string sql = which == kReadRun
                        ? std::string("SELECT ") + kRunColumns + " FROM runs WHERE id = ?1"
                        : kStatementText[which];
  int code = sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT,
                                &statements_[which], nullptr);
  if (code != SQLITE_OK) {
    Failed(code, "prepare", error);
    return nullptr;
  }
  return statements_[which];
}

template <typename Row, typename... Values>
bool HistoryDb::Execute(Statement which, const char* doing, HistoryError* error, Row row,
                        const Values&... values) {
  sqlite3_stmt* s = Prepared(which, error);
  if (s == nullptr) return false;
  int i = 0;
  (Bind(s, ++i, values), ...);
  int code;
  while ((code = sqlite3_step(s)) == SQLITE_ROW) row(s);
  sqlite3_reset(s);
  return code == SQLITE_DONE || Failed(code, doing, error);
}

template <typename... Values>
bool HistoryDb::Write(Statement which, HistoryError* error, const Values&... values) {
  return Execute(which, "write", error, [](sqlite3_stmt*) {}, values...);
}

bool HistoryDb::Begin(HistoryError* error) { return Exec("BEGIN IMMEDIATE", error); }

bool HistoryDb::Commit(HistoryError* error) {
  if (Exec("COMMIT", error)) return true;
  Rollback();
  return false;
}

void HistoryDb::Rollback() {
  if (db_ != nullptr && !sqlite3_get_autocommit(db_))
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

bool HistoryDb::InsertRun(const HistoryRun& run, long long* id, HistoryError* error) {
  // The trusted comment is kept only with the signer's key id.
  if (!Write(kInsertRun, error, run.packageDir, run.argFile, run.initialDir, run.mode,
             EmptyIsNull{run.section}, run.commandLine, run.arguments, run.lockHeld ? 1LL : 0LL,
             run.pid, static_cast<long long>(run.pidStart), run.bootId, run.startedMs,
             EmptyIsNull{run.digest}, EmptyIsNull{run.keyId},
             run.keyId.empty() ? nullptr : &run.trustedComment))
    return false;
  *id = sqlite3_last_insert_rowid(db_);
  return true;
}

bool HistoryDb::UpdateRunFacts(const HistoryRun& run, HistoryError* error) {
  return Write(kUpdateFacts, error, run.id, EmptyIsNull{run.section}, EmptyIsNull{run.digest},
               EmptyIsNull{run.keyId}, run.keyId.empty() ? nullptr : &run.trustedComment);
}

bool HistoryDb::PutCommand(long long runId, const HistoryCommand& command,
                           HistoryError* error) {
  return Write(kPutCommand, error, runId, command.seq, command.line, command.text,
               command.startedMs, command.durationMs, command.returnCode,
               EmptyIsNull{command.verdict});
}

bool HistoryDb::EndRun(const HistoryRun& run, HistoryError* error) {
  return Write(kEndRun, error, run.id, run.endedMs, run.finalCode, EmptyIsNull{run.verdict},
               EmptyIsNull{run.reboot});
}

bool HistoryDb::MarkInterrupted(const std::string& argFile, long long runId,
                                long long whenMs, HistoryError* error) {
  return Write(kMarkInterrupted, error, argFile, runId, whenMs);
}

bool HistoryDb::Prune(long long keep, long long* removed, HistoryError* error) {
  if (removed != nullptr) *removed = 0;
  long long last = 0;
  if (!Execute(kMaxId, "read", error,
               [&](sqlite3_stmt* row) { last = sqlite3_column_int64(row, 0); }))
    return false;
  const long long cut = last - std::max(keep, 0LL);
  if (cut <= 0) return true;
  if (!Write(kPruneCommands, error, cut) || !Write(kPruneRuns, error, cut)) return false;
  if (removed != nullptr) *removed = sqlite3_changes(db_);
  return true;
}

bool HistoryDb::Query(const std::string& sql, const std::vector<std::string>& texts,
                      const std::vector<long long>& numbers,
                      std::vector<HistoryRun>* runs, HistoryError* error) {
  sqlite3_stmt* s = nullptr;
  int code = sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr);
  if (code != SQLITE_OK) return Failed(code, "prepare", error);
  int i = 1;
  for (const std::string& text : texts) Bind(s, i++, text);
  for (long long number : numbers) Bind(s, i++, number);
  while ((code = sqlite3_step(s)) == SQLITE_ROW) runs->push_back(RunFromRow(s));
  sqlite3_finalize(s);
  return code == SQLITE_DONE || Failed(code, "read", error);
}

bool HistoryDb::ReadRuns(const HistoryQuery& query, std::vector<HistoryRun>* runs,
                         HistoryError* error) {
  std::string sql = std::string("SELECT ") + kRunColumns + " FROM runs WHERE 1";
  std::vector<std::string> texts;
  std::vector<long long> numbers;
  if (!query.package.empty()) {
    sql += " AND (package = ?1 OR arg_file = ?1)";
    texts.push_back(query.package);
  }
  if (query.sinceMs) {
    sql += " AND started_ms >= ?" + std::to_string(texts.size() + 1);
    numbers.push_back(*query.sinceMs);
  }
  sql += " ORDER BY id DESC LIMIT ?" + std::to_string(texts.size() + numbers.size() + 1);
  numbers.push_back(query.last > 0 ? query.last : -1);
  const size_t before = runs->size();
  if (!Query(sql, texts, numbers, runs, error)) return false;
  std::reverse(runs->begin() + static_cast<long>(before), runs->end());
  return true;
}

bool HistoryDb::ReadRun(long long id, std::optional<HistoryRun>* run,
                        HistoryError* error) {
  return Execute(kReadRun, "read", error,
                 [&](sqlite3_stmt* row) { *run = RunFromRow(row); }, id);
}

bool HistoryDb::ReadCommands(long long runId, std::vector<HistoryCommand>* commands,
                             HistoryError* error) {
  return Execute(kReadCommands, "read", error, [&](sqlite3_stmt* s) {
    HistoryCommand command;
    command.seq = sqlite3_column_int64(s, 0);
    command.line = sqlite3_column_int64(s, 1);
    command.text = TextColumn(s, 2);
    command.startedMs = sqlite3_column_int64(s, 3);
    command.durationMs = NumberColumn(s, 4);
    command.returnCode = NumberColumn(s, 5);
    command.verdict = TextColumn(s, 6);
    commands->push_back(std::move(command));
  }, runId);
}

bool HistoryDb::CountEndedByVerdict(
    std::vector<std::pair<std::string, long long>>* counts, HistoryError* error) {
  return Execute(kCountEndedByVerdict, "read", error, [&](sqlite3_stmt* row) {
    counts->push_back({TextColumn(row, 0), sqlite3_column_int64(row, 1)});
  });
}

bool HistoryDb::ReadOpenRuns(std::vector<HistoryRun>* runs, HistoryError* error) {
  return Query(std::string("SELECT ") + kRunColumns +
                   " FROM runs WHERE ended_ms IS NULL ORDER BY id",
               {}, {}, runs, error);
}

bool HistoryDb::ReadLastRuns(std::vector<HistoryRun>* runs, HistoryError* error) {
  return Query(std::string("SELECT ") + kRunColumns +
                   " FROM runs WHERE id IN (SELECT max(id) FROM runs WHERE lock_held = 1"
                   " GROUP BY arg_file) ORDER BY id",
               {}, {}, runs, error);
}
