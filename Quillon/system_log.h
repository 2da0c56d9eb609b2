// Where the run reports what must not go into the run log, whose lines are
// fixed, nor change the run: a failure of the commands' output file or of
// the reboot-required marker. The system log (syslog) in the shipped
// program; a test build names a file, or nowhere, so that no test writes
// into the machine's log.

#ifndef QUILLON_SYSTEM_LOG_H_
#define QUILLON_SYSTEM_LOG_H_

class SystemLog {
 public:
  // Null: the system log. An empty name: nowhere. Otherwise the file,
  // appended to (never through a symbolic link). Not copied: it must
  // outlive this object.
  explicit SystemLog(const char* file = nullptr) : file_(file) {}

  // One line, "Quillon: " and the text. Leaves no descriptor open.
  void Report(int priority, const char* format, ...) const
      __attribute__((format(printf, 3, 4)));

 private:
  const char* file_;
};

#endif  // QUILLON_SYSTEM_LOG_H_
