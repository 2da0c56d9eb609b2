// The run's own cost per command: Quillon running an argument file of 1000
// commands, each a program that prints one line (into the run's output
// file, Quillon.out), against the same 1000 commands each started with
// "sh -c" from a shell loop that appends their lines to a file, measured
// alternately in the same process and reported as the ratio of the medians
// (goal: at most 1.10 on tmpfs, 1.25 on disk). Once with the argument file
// on tmpfs (/dev/shm), once on disk (/var/tmp), where the flush of each
// command's mark to disk shows. The run is the test build's, keeping its
// history database in the bench directory (the shipped program would write
// the machine's); the same run without a history is measured alongside.
//
// Then the cost of tracing (history off): the same tmpfs run with tracing at level 3 into
// a 1 MiB ring buffer (switched on through the environment; the ring file
// is created by a first run that is not counted, and wraps during the
// runs) against tracing off, reported as the ratio of the medians (goal:
// at most 1.10), in wall time and in the CPU time of the run and its
// commands (less disturbed by other load on the machine).
//
// Usage: run_bench [repetitions]   (default 7)

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const int kCommands = 1000;
const char kCommand[] = "/bin/echo quillon bench line";

double Seconds(const std::string& command) {
  auto start = std::chrono::steady_clock::now();
  int rc = system(command.c_str());
  auto end = std::chrono::steady_clock::now();
  if (rc == -1 || !WIFEXITED(rc)) {
    fprintf(stderr, "run_bench: \"%s\" failed\n", command.c_str());
    exit(1);
  }
  return std::chrono::duration<double>(end - start).count();
}

void WriteArgFile(const std::string& dir) {
  std::string path = dir + "/px.arg";
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) {
    perror(path.c_str());
    exit(1);
  }
  fputs("[Commands]\r\n", f);
  for (int i = 0; i < kCommands; ++i) fprintf(f, "0 000 %s\r\n", kCommand);
  fputs("[End]\r\n", f);
  fclose(f);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// A new directory in `base`; empty (and a message) when none can be made.
std::string MakeBenchDir(const char* base) {
  char pattern[256];
  snprintf(pattern, sizeof(pattern), "%s/quillon-bench.XXXXXX", base);
  if (mkdtemp(pattern) != nullptr) return pattern;
  fprintf(stderr, "run_bench: cannot create a directory in %s\n", base);
  return std::string();
}

void Measure(const char* label, const char* base, int repetitions) {
  std::string dir = MakeBenchDir(base);
  if (dir.empty()) return;
  // The test build: its history database in the bench directory (on the
  // same file system as the package), never the machine's; without the
  // variable it keeps none.
  const std::string program = std::string(QUILLON_BIN_DIR) + "/Quillon_fakereboot " + dir;
  std::string quillon = "QUILLON_HISTORY_DIR=" + dir + "/history " + program;
  std::string withoutHistory = "env -u QUILLON_HISTORY_DIR " + program;
  std::string loop = "sh -c 'i=0; while [ $i -lt " +
                     std::to_string(kCommands) + " ]; do sh -c \"" + kCommand +
                     "\" >> " + dir + "/loop.out; i=$((i+1)); done'";
  std::vector<double> runs, loops, bare;
  for (int r = 0; r < repetitions; ++r) {
    WriteArgFile(dir);  // every run starts with all lines pending
    runs.push_back(Seconds(quillon));
    loops.push_back(Seconds(loop));
    WriteArgFile(dir);
    bare.push_back(Seconds(withoutHistory));
  }
  double q = Median(runs), s = Median(loops), b = Median(bare);
  printf("%-8s Quillon %.3f s, shell loop %.3f s, ratio %.3f "
         "(per command: Quillon %.0f us, loop %.0f us)\n",
         label, q, s, q / s, q / kCommands * 1e6, s / kCommands * 1e6);
  printf("%-8s without history %.3f s, ratio %.3f; history on / off %.3f\n", label, b,
         b / s, q / b);
  std::string cleanup = "rm -rf " + dir;
  system(cleanup.c_str());
}

// CPU seconds (user and system) of all waited-for children so far.
double ChildCpuSeconds() {
  struct rusage usage;
  getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The run with the trace settings in `env` and no others from the caller.
std::string TracedRun(const std::string& dir, const std::string& env) {
  return "env -u QZ_LOG_RINGBUF_WEIGHT_QUILLON -u QZ_LOG_DYNAMIC_UPDATE "
         "-u QZ_LOG_FILE_MAX_SIZE -u TraceFileLimit -u QZ_LOG_RINGBUF_WEIGHT "
         "-u QUILLON_HISTORY_DIR QZ_LOG_RINGBUF_DIR=" + dir + " " + env + " " +
         std::string(QUILLON_BIN_DIR) + "/Quillon_fakereboot " + dir;
}

void MeasureTracing(const char* base, int repetitions) {
  std::string dir = MakeBenchDir(base);
  if (dir.empty()) return;
  std::string on = TracedRun(dir, "QZ_LOG_DEBUG_LEVEL=3 TraceFileLimit=1 "
                                  "QZ_LOG_RINGBUF_WEIGHT=1");
  std::string off = TracedRun(dir, "QZ_LOG_DEBUG_LEVEL=0");
  WriteArgFile(dir);
  Seconds(on);  // creates the ring-buffer file
  std::vector<double> traced, untraced, traced_cpu, untraced_cpu;
  for (int r = 0; r < repetitions; ++r) {
    WriteArgFile(dir);
    double cpu = ChildCpuSeconds();
    traced.push_back(Seconds(on));
    traced_cpu.push_back(ChildCpuSeconds() - cpu);
    WriteArgFile(dir);
    cpu = ChildCpuSeconds();
    untraced.push_back(Seconds(off));
    untraced_cpu.push_back(ChildCpuSeconds() - cpu);
  }
  double t = Median(traced), u = Median(untraced);
  double tc = Median(traced_cpu), uc = Median(untraced_cpu);
  printf("trace    level 3 %.3f s, off %.3f s, ratio %.3f (goal <= 1.10; "
         "per command: traced %.0f us, off %.0f us)\n",
         t, u, t / u, t / kCommands * 1e6, u / kCommands * 1e6);
  printf("trace    CPU: level 3 %.3f s, off %.3f s, ratio %.3f\n", tc, uc,
         tc / uc);
  std::string cleanup = "rm -rf " + dir;
  system(cleanup.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  int repetitions = argc > 1 ? atoi(argv[1]) : 7;
  if (repetitions < 1) repetitions = 1;
  Measure("tmpfs", "/dev/shm", repetitions);
  Measure("disk", "/var/tmp", repetitions);
  MeasureTracing("/dev/shm", repetitions);
  return 0;
}
