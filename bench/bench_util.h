// What the benchmarks that time whole programs share: a large file of
// pseudo-random bytes to feed them, and a child run with its peak memory.

#ifndef BENCH_BENCH_UTIL_H_
#define BENCH_BENCH_UTIL_H_

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace bench {

// Writes `size` bytes (a multiple of 1 MiB) of xorshift output from `seed`
// to `path`; false when it cannot.
inline bool WriteRandomFile(const std::string& path, size_t size, uint64_t seed) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::vector<uint64_t> block((1 << 20) / sizeof(uint64_t));
  uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
  bool ok = true;
  for (size_t written = 0; ok && written < size; written += 1 << 20) {
    for (uint64_t& w : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      w = x;
    }
    ok = write(fd, block.data(), 1 << 20) == (1 << 20);
  }
  return close(fd) == 0 && ok;
}

// Runs `args` to completion (its standard output to /dev/null when `quiet`);
// returns its exit status (-1 if it did not exit) and its peak resident
// size in KiB.
inline int RunChild(const std::vector<std::string>& args, long* maxRssKib,
                    bool quiet = false) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (quiet) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  memset(&usage, 0, sizeof usage);
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return -1;
  if (maxRssKib) *maxRssKib = usage.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace bench

#endif  // BENCH_BENCH_UTIL_H_
