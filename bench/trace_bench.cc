// Cost of one trace entry in the ring buffer, with and without the memory
// figure, against formatting the same line with snprintf and writing it to
// a file with write(2).

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

#include "cdebug.h"

namespace {

// A temporary configuration and trace directory for one benchmark.
class TraceDirs {
 public:
  explicit TraceDirs(unsigned memory_flag) {
    char pattern[] = "/tmp/quillon_trace_bench_XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    root_ = pattern;
    cfg_ = root_ + "/cfg";
    mkdir(cfg_.c_str(), 0700);
    std::ofstream(cfg_ + "/quillon.ini")
        << "[Quillon]\nRingBufferDirectory = " << root_
        << "\nFileDebugLevel = 2\nRingBufferSizeFactor = 1\n"
           "RingBufferSizeWeight = 1\nMemoryTracesFlag = "
        << memory_flag << "\n[EndOfFile]\n";
  }
  ~TraceDirs() {
    std::string command = "rm -rf '" + root_ + "'";
    if (system(command.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", root_.c_str());
  }
  const std::string& root() const { return root_; }
  const std::string& cfg() const { return cfg_; }

 private:
  std::string root_, cfg_;
};

const char kFormat[] = "\nQuillon       : Run command '%s' (line %d)";
const char kCommand[] = "./install.sh -silent";

void RingEntry(benchmark::State& state, unsigned memory_flag) {
  TraceDirs dirs(memory_flag);
  CDebug trace("Quillon", dirs.cfg().c_str(), dirs.root().c_str());
  if (trace.GetTarget() != TRACE_TARGET_RINGBUFFER) {
    state.SkipWithError("no ring buffer");
    return;
  }
  int line = 0;
  for (auto _ : state) trace.Print(2, kFormat, kCommand, ++line);
}

void BM_RingEntry(benchmark::State& state) { RingEntry(state, 0); }
void BM_RingEntryWithMemory(benchmark::State& state) { RingEntry(state, 1); }

// The same line, header included, formatted with snprintf and written with
// write(2) to a file kept at 1 MiB.
void BM_SnprintfWrite(benchmark::State& state) {
  TraceDirs dirs(0);
  std::string path = dirs.root() + "/plain.log";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    state.SkipWithError("cannot open file");
    return;
  }
  char line[1400];
  off_t written = 0;
  int number = 0;
  for (auto _ : state) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm local;
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &local);
    char when[22];
    strftime(when, sizeof(when), "%F %H:%M:%S", &local);
    int n = snprintf(line, sizeof(line),
                     "%s.%03d [%08X] %-13s Quillon       : Run command '%s' "
                     "(line %d)\n",
                     when, static_cast<int>(tv.tv_usec / 1000),
                     static_cast<unsigned>(pthread_self()), "Quillon",
                     kCommand, ++number);
    if (write(fd, line, static_cast<size_t>(n)) != n) abort();
    written += n;
    if (written > 1048576) {
      lseek(fd, 0, SEEK_SET);
      written = 0;
    }
  }
  close(fd);
}

BENCHMARK(BM_RingEntry);
BENCHMARK(BM_RingEntryWithMemory);
BENCHMARK(BM_SnprintfWrite);

}  // namespace

BENCHMARK_MAIN();
