// The history database's owner: where and how the file is made, what it
// refuses, a corrupt file set aside, migrations, and the statements the run
// and pxtool use.

#include "history_db.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include "test_util.h"

namespace quillon_test {
namespace {

HistoryRun MakeRun(const std::string& argFile, long long startedMs, bool lockHeld = true) {
  HistoryRun run;
  run.packageDir = argFile.substr(0, argFile.rfind('/'));
  run.argFile = argFile;
  run.initialDir = "/";
  run.mode = "classic";
  run.section = "[Commands]";
  run.commandLine = "Quillon " + run.packageDir + " px.arg";
  run.arguments = std::vector<std::string>{run.packageDir, "px.arg"};
  run.lockHeld = lockHeld;
  run.pid = 1;
  run.bootId = "boot";
  run.startedMs = startedMs;
  return run;
}

// Adds `run` (ended with `verdict` unless empty) in one transaction.
long long Add(HistoryDb* db, HistoryRun run, const std::string& verdict = "success") {
  HistoryError error;
  long long id = 0;
  EXPECT_TRUE(db->Begin(&error)) << error.what;
  EXPECT_TRUE(db->InsertRun(run, &id, &error)) << error.what;
  if (!verdict.empty()) {
    run.id = id;
    run.endedMs = run.startedMs + 1000;
    run.finalCode = 0;
    run.verdict = verdict;
    run.reboot = "none";
    EXPECT_TRUE(db->EndRun(run, &error)) << error.what;
  }
  EXPECT_TRUE(db->Commit(&error)) << error.what;
  return id;
}

// The first row of `sql` on the file at `path`, as text.
std::string Pragma(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  std::string value;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
      value = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  return value;
}

class HistoryDbTest : public testing::Test {
 protected:
  ScopedTempDir tmp_;
  const std::string dir_ = tmp_ / "history", file_ = dir_ + "/history.db";
};

TEST_F(HistoryDbTest, MadeRootsAloneWhateverTheUmaskInWalAtTheLatestVersion) {
  mode_t old = umask(0);
  HistoryDb db;
  HistoryError error;
  std::string aside;
  bool opened = db.OpenForWriting(dir_, &aside, &error);
  umask(old);
  ASSERT_TRUE(opened) << error.what;
  EXPECT_TRUE(aside.empty());
  struct stat st;
  ASSERT_EQ(0, lstat(dir_.c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);
  ASSERT_EQ(0, lstat(file_.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  Add(&db, MakeRun("/p/px.arg", 1000));
  for (const char* suffix : {"-wal", "-shm"}) {
    ASSERT_EQ(0, lstat((file_ + suffix).c_str(), &st)) << suffix;
    EXPECT_EQ(0600u, st.st_mode & 07777) << suffix;
  }
  db.Close();
  EXPECT_EQ("wal", Pragma(file_, "PRAGMA journal_mode"));
  EXPECT_EQ(std::to_string(HistorySchemaVersion()), Pragma(file_, "PRAGMA user_version"));
  EXPECT_EQ("ok", Pragma(file_, "PRAGMA integrity_check"));
}

TEST_F(HistoryDbTest, RefusesWhatIsNotRootsAloneAndNeverFollowsALink) {
  HistoryDb db;
  HistoryError error;
  ASSERT_EQ(0, mkdir((tmp_ / "elsewhere").c_str(), 0700));
  // The directory a link, a file, writable by others; the file a link, a
  // directory.
  ASSERT_EQ(0, symlink((tmp_ / "elsewhere").c_str(), dir_.c_str()));
  EXPECT_FALSE(db.OpenForWriting(dir_, nullptr, &error));
  EXPECT_EQ(HistoryError::kOther, error.kind);
  EXPECT_NE(std::string::npos, error.what.find(dir_)) << error.what;
  EXPECT_FALSE(Exists(tmp_ / "elsewhere/history.db"));
  ASSERT_EQ(0, unlink(dir_.c_str()));
  WriteFile(dir_, "");
  EXPECT_FALSE(db.OpenForWriting(dir_, nullptr, &error));
  ASSERT_EQ(0, unlink(dir_.c_str()));
  ASSERT_EQ(0, mkdir(dir_.c_str(), 0700));
  ASSERT_EQ(0, chmod(dir_.c_str(), 0777));
  EXPECT_FALSE(db.OpenForWriting(dir_, nullptr, &error));
  ASSERT_EQ(0, chmod(dir_.c_str(), 0700));
  ASSERT_EQ(0, symlink((tmp_ / "elsewhere/history.db").c_str(), file_.c_str()));
  EXPECT_FALSE(db.OpenForWriting(dir_, nullptr, &error));
  EXPECT_FALSE(Exists(tmp_ / "elsewhere/history.db"));
  ASSERT_EQ(0, unlink(file_.c_str()));
  ASSERT_EQ(0, mkdir(file_.c_str(), 0700));
  EXPECT_FALSE(db.OpenForWriting(dir_, nullptr, &error));
  EXPECT_NE(std::string::npos, error.what.find("history.db")) << error.what;
  // Reading never makes anything.
  EXPECT_FALSE(db.OpenForReading(tmp_ / "none", &error));
  EXPECT_FALSE(error);
  EXPECT_FALSE(Exists(tmp_ / "none"));
}

TEST_F(HistoryDbTest, ACorruptFileIsSetAsideAndANewOneBegun) {
  ASSERT_EQ(0, mkdir(dir_.c_str(), 0700));
  std::string garbage(8192, 'x');
  WriteFile(file_, garbage);
  ASSERT_EQ(0, chmod(file_.c_str(), 0600));
  WriteFile(file_ + "-wal", "stale");
  HistoryDb db;
  HistoryError error;
  std::string aside;
  ASSERT_TRUE(db.OpenForWriting(dir_, &aside, &error)) << error.what;
  EXPECT_TRUE(std::regex_match(aside, std::regex(".*/history[.]db[.]corrupt-[0-9]{8}T[0-9]{6}Z")))
      << aside;
  EXPECT_EQ(garbage, ReadFile(aside));
  EXPECT_NE("stale", ReadFile(file_ + "-wal"));
  EXPECT_EQ(1, Add(&db, MakeRun("/p/px.arg", 1000)));

  // A newer program's database is read, never written.
  db.Close();
  sqlite3* raw = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(file_.c_str(), &raw));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, "PRAGMA user_version = 99", nullptr, nullptr, nullptr));
  sqlite3_close(raw);
  EXPECT_FALSE(db.OpenForWriting(dir_, &aside, &error));
  EXPECT_EQ(HistoryError::kNewer, error.kind);
  ASSERT_TRUE(db.OpenForReading(dir_, &error)) << error.what;
  std::vector<HistoryRun> runs;
  ASSERT_TRUE(db.ReadRuns(HistoryQuery(), &runs, &error)) << error.what;
  EXPECT_EQ(1u, runs.size());
}

TEST_F(HistoryDbTest, StatementsRoundTripSelectAndPrune) {
  HistoryDb db;
  HistoryError error;
  ASSERT_TRUE(db.OpenForWriting(dir_, nullptr, &error)) << error.what;
  HistoryRun a = MakeRun("/p/a/px.arg", 1000);
  a.arguments = std::vector<std::string>{"/p/a", "px.arg", "", "-external-variable", "x y"};
  a.keyId = "0123456789ABCDEF";
  a.trustedComment = "timestamp:1\tfile:SHA256SUMS";
  const long long first = Add(&db, a, "");          // open: killed
  Add(&db, MakeRun("/p/b/px.arg", 2000));
  Add(&db, MakeRun("/p/a/px.arg", 3000, false));    // turned away by the lock
  HistoryRun second = MakeRun("/p/a/px.arg", 4000);
  long long id = 0;
  ASSERT_TRUE(db.Begin(&error));
  ASSERT_TRUE(db.InsertRun(second, &id, &error));
  ASSERT_TRUE(db.MarkInterrupted("/p/a/px.arg", id, 4000, &error));
  HistoryCommand command;
  command.seq = 1;
  command.line = 7;
  command.text = "install -pwd *****";
  command.startedMs = 4100;
  ASSERT_TRUE(db.PutCommand(id, command, &error));
  command.durationMs = 250;
  command.returnCode = 3;
  command.verdict = "go_on";
  ASSERT_TRUE(db.PutCommand(id, command, &error));  // the same line, now complete
  ASSERT_TRUE(db.Commit(&error)) << error.what;

  std::optional<HistoryRun> killed;
  ASSERT_TRUE(db.ReadRun(first, &killed, &error));
  ASSERT_TRUE(killed.has_value());
  EXPECT_EQ(a.arguments, killed->arguments);
  EXPECT_EQ(a.trustedComment, killed->trustedComment);
  EXPECT_EQ(4000, killed->interruptedMs.value_or(0));
  EXPECT_FALSE(killed->endedMs.has_value());
  std::vector<HistoryCommand> commands;
  ASSERT_TRUE(db.ReadCommands(id, &commands, &error));
  ASSERT_EQ(1u, commands.size());
  EXPECT_EQ("go_on", commands[0].verdict);
  EXPECT_EQ(3, commands[0].returnCode.value_or(-1));

  auto ids = [&](const HistoryQuery& query) {
    std::vector<HistoryRun> runs;
    EXPECT_TRUE(db.ReadRuns(query, &runs, &error)) << error.what;
    std::string text;
    for (const HistoryRun& run : runs) text += std::to_string(run.id) + " ";
    return text;
  };
  HistoryQuery query;
  EXPECT_EQ("1 2 3 4 ", ids(query));
  query.package = "/p/a";
  EXPECT_EQ("1 3 4 ", ids(query));
  query.last = 2;
  EXPECT_EQ("3 4 ", ids(query));
  query = HistoryQuery();
  query.sinceMs = 2000;
  EXPECT_EQ("2 3 4 ", ids(query));
  // The last run of each package is the newest that held its lock.
  std::vector<HistoryRun> last;
  ASSERT_TRUE(db.ReadLastRuns(&last, &error));
  ASSERT_EQ(2u, last.size());
  EXPECT_EQ(2, last[0].id);
  EXPECT_EQ(4, last[1].id);

  long long removed = 0;
  ASSERT_TRUE(db.Begin(&error));
  ASSERT_TRUE(db.Prune(2, &removed, &error));
  ASSERT_TRUE(db.Commit(&error));
  EXPECT_EQ(2, removed);
  EXPECT_EQ("3 4 ", ids(HistoryQuery()));
  commands.clear();
  ASSERT_TRUE(db.ReadCommands(id, &commands, &error));
  EXPECT_EQ(1u, commands.size());
  ASSERT_TRUE(db.Begin(&error));
  ASSERT_TRUE(db.Prune(0, &removed, &error));
  ASSERT_TRUE(db.Commit(&error));
  commands.clear();
  ASSERT_TRUE(db.ReadCommands(id, &commands, &error));
  EXPECT_TRUE(commands.empty());
  EXPECT_EQ("", ids(HistoryQuery()));
}

TEST(HistoryTime, Rfc3339InUtc) {
  EXPECT_EQ("1970-01-01T00:00:00+00:00", HistoryTime(999));
  EXPECT_EQ("2026-12-06T16:53:45+00:00", HistoryTime(1796576025000LL));
}

}  // namespace
}  // namespace quillon_test
