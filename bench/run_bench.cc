// The run's own cost per command: Quillon running an argument file of 1000
// commands "/bin/true", against the same 1000 commands each started with
// "sh -c" from a shell loop, measured alternately in the same process and
// reported as the ratio of the medians. Once with the argument file on
// tmpfs (/dev/shm), once on disk (/var/tmp), where the flush of each
// command's mark to disk shows.
//
// Usage: run_bench [repetitions]   (default 7)

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
  for (int i = 0; i < kCommands; ++i) fputs("0 000 /bin/true\r\n", f);
  fputs("[End]\r\n", f);
  fclose(f);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void Measure(const char* label, const char* base, int repetitions) {
  char pattern[256];
  snprintf(pattern, sizeof(pattern), "%s/quillon-bench.XXXXXX", base);
  if (mkdtemp(pattern) == nullptr) {
    fprintf(stderr, "run_bench: cannot create a directory in %s\n", base);
    return;
  }
  std::string dir = pattern;
  std::string quillon = std::string(QUILLON_BIN_DIR) + "/Quillon " + dir;
  std::string loop = "sh -c 'i=0; while [ $i -lt " +
                     std::to_string(kCommands) +
                     " ]; do sh -c /bin/true; i=$((i+1)); done'";
  std::vector<double> runs, loops;
  for (int r = 0; r < repetitions; ++r) {
    WriteArgFile(dir);  // every run starts with all lines pending
    runs.push_back(Seconds(quillon));
    loops.push_back(Seconds(loop));
  }
  double q = Median(runs), s = Median(loops);
  printf("%-8s Quillon %.3f s, shell loop %.3f s, ratio %.3f "
         "(per command: Quillon %.0f us, loop %.0f us)\n",
         label, q, s, q / s, q / kCommands * 1e6, s / kCommands * 1e6);
  std::string cleanup = "rm -rf " + dir;
  system(cleanup.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  int repetitions = argc > 1 ? atoi(argv[1]) : 7;
  if (repetitions < 1) repetitions = 1;
  Measure("tmpfs", "/dev/shm", repetitions);
  Measure("disk", "/var/tmp", repetitions);
  return 0;
}
