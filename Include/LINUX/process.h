// CProcess: the suite's process utilities for Linux. Working directory,
// process information read from /proc, and starting and stopping programs.
// Every operation is static, keeps no state, writes no message and reports
// failure through its result.

#ifndef INCLUDE_LINUX_PROCESS_H_
#define INCLUDE_LINUX_PROCESS_H_

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

class CProcess {
 public:
  enum unit { B = 0, KB = 1, MB = 2, GB = 3 };
  static const unsigned int PROCESS_WAIT_INFINITE = 0xFFFFFFFF;

  // Working directory. GetCurrentDir leaves its argument unchanged on
  // failure; SetCurrentDir refuses null and empty names.
  static bool GetCurrentDir(std::string& current_directory);
  static bool SetCurrentDir(const char* working_directory);
};

#endif  // INCLUDE_LINUX_PROCESS_H_
