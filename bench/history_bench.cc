// The history database's costs.
//
// 1. pxtool history over 100,000 recorded runs (5 lines each, 50 packages):
//    `--last 20` (goal: under 50 ms), `--last 20 --format json`, `--package
//    DIR --last 20`, `--pending` and the whole OpenMetrics output (goal:
//    under 1 s), each the median of 9 runs of pxtool_testbuild, against
//    `pxtool --version` (the program's start) as the baseline ratio.
// 2. A writer's open of a database at the retention's size (10,000 runs):
//    the schema check and quick_check every run pays, against one whole run
//    of Quillon (test build, history off) on a one-command package.
// 3. One command's write (BEGIN IMMEDIATE, the line, COMMIT) with
//    synchronous=NORMAL, as the run does, and with FULL, on tmpfs and on
//    disk, against the run's cost per command without history (a run of 200
//    commands, history off, divided by 200).
//
// Usage: history_bench        (BENCH_DIR: where to put the files, default /var/tmp)
// Exits 1 when a goal of 1 is missed.

#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "history_db.h"

namespace {

const std::string kBin = QUILLON_BIN_DIR;

double Seconds(const std::string& command) {
  auto start = std::chrono::steady_clock::now();
  int rc = system(command.c_str());
  auto end = std::chrono::steady_clock::now();
  if (rc == -1 || !WIFEXITED(rc) || WEXITSTATUS(rc) > 6) {
    fprintf(stderr, "history_bench: \"%s\" failed\n", command.c_str());
    exit(1);
  }
  return std::chrono::duration<double>(end - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double MedianOf(int times, const std::string& command) {
  std::vector<double> v;
  for (int i = 0; i < times; ++i) v.push_back(Seconds(command));
  return Median(v);
}

std::string MakeDir(const char* base) {
  std::string pattern = std::string(base) + "/quillon-history-bench.XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    perror(base);
    exit(1);
  }
  return pattern;
}

// `runs` runs of 5 lines each into a new database in `dir`.
void Fill(const std::string& dir, long long runs) {
  HistoryDb db;
  HistoryError error;
  if (!db.OpenForWriting(dir, nullptr, &error) || !db.Begin(&error)) {
    fprintf(stderr, "history_bench: %s\n", error.what.c_str());
    exit(1);
  }
  static const char* const kVerdicts[] = {"success", "success", "success", "aborted",
                                          "reboot_requested", "handler_error"};
  for (long long i = 0; i < runs; ++i) {
    HistoryRun run;
    run.packageDir = "/srv/packages/p" + std::to_string(i % 50);
    run.argFile = run.packageDir + "/pkg/px.arg";
    run.initialDir = "/";
    run.mode = "classic";
    run.section = "[Commands]";
    run.commandLine = "/usr/sbin/Quillon " + run.packageDir + " pkg/px.arg";
    run.arguments = std::vector<std::string>{run.packageDir, "pkg/px.arg"};
    run.lockHeld = true;
    run.pid = 1000 + i;
    run.bootId = "00000000-0000-0000-0000-000000000000";
    run.startedMs = 1700000000000LL + i * 60000;
    run.digest = std::string(64, 'a');
    long long id = 0;
    if (!db.InsertRun(run, &id, &error)) break;
    for (int k = 1; k <= 5; ++k) {
      HistoryCommand c;
      c.seq = k;
      c.line = 3 + k;
      c.text = "sh install-step-" + std::to_string(k) + ".sh --quiet";
      c.startedMs = run.startedMs + k * 1000;
      c.durationMs = 900;
      c.returnCode = 0;
      c.verdict = "ok";
      if (!db.PutCommand(id, c, &error)) break;
    }
    run.id = id;
    run.endedMs = run.startedMs + 6000;
    run.finalCode = 0;
    run.verdict = kVerdicts[i % 6];
    run.reboot = "none";
    if (!db.EndRun(run, &error)) break;
  }
  if (error || !db.Commit(&error)) {
    fprintf(stderr, "history_bench: %s\n", error.what.c_str());
    exit(1);
  }
}

// The median cost of one line's transaction on the database in `dir`.
double WriteCost(const std::string& dir, const char* synchronous) {
  sqlite3* db = nullptr;
  std::string path = dir + "/history.db";
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) exit(1);
  sqlite3_busy_timeout(db, kHistoryBusyMilliseconds);
  sqlite3_exec(db, (std::string("PRAGMA synchronous = ") + synchronous).c_str(), nullptr,
               nullptr, nullptr);
  sqlite3_stmt* put = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT OR REPLACE INTO commands (run_id, seq, line, text, started_ms,"
                     " duration_ms, return_code, verdict) VALUES (1, ?1, 7, 'sh step.sh', 0,"
                     " NULL, NULL, NULL)",
                     -1, &put, nullptr);
  std::vector<double> v;
  for (int i = 0; i < 200; ++i) {
    auto start = std::chrono::steady_clock::now();
    sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_bind_int(put, 1, i + 1);
    sqlite3_step(put);
    sqlite3_reset(put);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    v.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  sqlite3_finalize(put);
  sqlite3_close(db);
  return Median(v);
}

// The run's cost per command, history off: 200 commands "true".
double RunCostPerCommand(const std::string& dir) {
  std::string pkg = dir + "/pkg";
  std::string make = "mkdir -p " + pkg + " && { printf '[Commands]\\r\\n'; i=0; while [ $i -lt 200 ];"
                     " do printf '0 000 /bin/true\\r\\n'; i=$((i+1)); done; printf '[End]\\r\\n'; } > " +
                     pkg + "/px.arg";
  std::vector<double> v;
  for (int r = 0; r < 5; ++r) {
    Seconds(make);
    v.push_back(Seconds("env -u QUILLON_HISTORY_DIR QUILLON_RUN_LOCK_DIR=" + dir + "/locks " +
                        kBin + "/Quillon_fakereboot " + pkg));
  }
  return Median(v) / 200;
}

}  // namespace

int main() {
  const char* base = getenv("BENCH_DIR") ? getenv("BENCH_DIR") : "/var/tmp";
  int missed = 0;

  // 1. Reading 100,000 runs.
  std::string big = MakeDir(base);
  Fill(big + "/h", 100000);
  const std::string pxtool = "QUILLON_HISTORY_DIR=" + big + "/h " + kBin + "/pxtool_testbuild ";
  const std::string quiet = " > /dev/null";
  double start = MedianOf(9, pxtool + "--version" + quiet);
  printf("pxtool --version (start)            %7.1f ms\n", start * 1e3);
  struct Case {
    const char* what;
    std::string args;
    double goal;
  };
  const std::vector<Case> cases = {
      {"history --last 20", "history --last 20", 0.050},
      {"history --last 20 --format json", "history --last 20 --format json", 0},
      {"history --package DIR --last 20", "history --package /srv/packages/p7 --last 20", 0},
      {"history --pending", "history --pending", 0},
      {"history --format openmetrics", "history --format openmetrics", 1.0},
  };
  for (const Case& c : cases) {
    double t = MedianOf(9, pxtool + c.args + quiet);
    printf("%-36s %7.1f ms, %5.2f x the start%s\n", c.what, t * 1e3, t / start,
           c.goal > 0 ? (t <= c.goal ? " (goal met)" : " (GOAL MISSED)") : "");
    if (c.goal > 0 && t > c.goal) ++missed;
  }
  system(("rm -rf " + big).c_str());

  // 2. A writer's open at the retention's size.
  std::string kept = MakeDir(base);
  Fill(kept + "/h", kHistoryKeptRuns);
  std::vector<double> opens;
  for (int i = 0; i < 9; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    HistoryDb db;
    HistoryError error;
    if (!db.OpenForWriting(kept + "/h", nullptr, &error)) {
      fprintf(stderr, "history_bench: %s\n", error.what.c_str());
      return 1;
    }
    db.Close();
    opens.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  double perCommand = RunCostPerCommand(kept);
  double wholeRun = perCommand * 200;
  printf("open for writing, 10,000 runs         %7.2f ms, %5.3f x a run of 200 commands\n",
         Median(opens) * 1e3, Median(opens) / wholeRun);

  // 3. One command's write, NORMAL and FULL, tmpfs and disk.
  for (const char* where : {"/dev/shm", base}) {
    std::string dir = MakeDir(where);
    Fill(dir + "/h", 1);
    for (const char* synchronous : {"NORMAL", "FULL"}) {
      double w = WriteCost(dir + "/h", synchronous);
      printf("one line's write, %-8s %-6s     %7.3f ms, %5.3f x a command's run cost\n",
             where, synchronous, w * 1e3, w / perCommand);
    }
    system(("rm -rf " + dir).c_str());
  }
  printf("(a command's run cost, history off: %.3f ms)\n", perCommand * 1e3);
  system(("rm -rf " + kept).c_str());
  return missed == 0 ? 0 : 1;
}
