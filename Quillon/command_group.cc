#include "command_group.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "safe_file.h"

namespace {

// What the run needs of a process's /proc/<pid>/stat.
struct ProcessStat {
  char state = '?';
  pid_t pgrp = 0;
  unsigned long long startTime = 0;
};

// Reads the fields of a /proc/<pid>/stat text: "pid (comm) state ppid
// pgrp ... starttime ...". The name may hold blanks and parentheses, so
// fields are counted from the last ')'. No allocation.
bool ParseProcessStat(const char* text, size_t size, ProcessStat* stat) {
  size_t at = size;
  while (at > 0 && text[at - 1] != ')') --at;
  if (at == 0) return false;
  int field = 3;  // the field being read: the ')' ends field 2
  unsigned long long value = 0;
  bool digits = false;
  for (; at <= size; ++at) {
    char c = at < size ? text[at] : ' ';
    if (c != ' ' && c != '\n') {
      if (field == 3 && !digits) stat->state = c;
      value = c >= '0' && c <= '9' ? value * 10 + static_cast<unsigned>(c - '0') : 0;
      digits = true;
      continue;
    }
    if (digits && field == 5) stat->pgrp = static_cast<pid_t>(value);
    if (digits && field == 22) {
      stat->startTime = value;
      return true;
    }
    if (digits) ++field;
    value = 0;
    digits = false;
  }
  return false;
}

// Reads up to `size` - 1 bytes of a small file of /proc, with system calls
// only; -1 when it cannot be opened or read.
ssize_t ReadSmallFile(const char* path, char* buffer, size_t size) {
  int fd = static_cast<int>(
      syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
  if (fd < 0) return -1;
  ssize_t n;
  do {
    n = syscall(SYS_read, fd, buffer, size - 1);
  } while (n < 0 && errno == EINTR);
  syscall(SYS_close, fd);
  if (n >= 0) buffer[n] = '\0';
  return n;
}

bool ReadProcessStat(const char* path, ProcessStat* stat) {
  char text[1024];
  ssize_t n = ReadSmallFile(path, text, sizeof(text));
  return n > 0 && ParseProcessStat(text, static_cast<size_t>(n), stat);
}

bool ReadProcessStat(pid_t pid, ProcessStat* stat) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
  return ReadProcessStat(path, stat);
}

bool Alive(const ProcessStat& stat) {
  return stat.state != 'Z' && stat.state != 'X';
}

// Whether a process of group `pgrp` is there that is not a zombie.
bool GroupHasLiveMember(pid_t pgrp) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return true;  // cannot tell: members were seen
  bool found = false;
  while (struct dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = strtol(entry->d_name, &end, 10);
    ProcessStat stat;
    if (pid <= 0 || *end != '\0' ||
        !ReadProcessStat(static_cast<pid_t>(pid), &stat))
      continue;
    if (stat.pgrp == pgrp && Alive(stat)) {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

// Appends `text`, or the decimal `value`, at `at` within `end`.
char* Put(char* at, const char* end, const char* text) {
  while (*text != '\0' && at < end) *at++ = *text++;
  return at;
}

char* Put(char* at, const char* end, unsigned long long value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0 && at < end) *at++ = digits[--n];
  return at;
}

// The record's text into `out`; its length. No allocation.
const size_t kRecordSize = 160;
size_t FormatRecord(pid_t pid, unsigned long long startTime,
                    const char* bootId, char (&out)[kRecordSize]) {
  const char* end = out + kRecordSize;
  char* at = Put(out, end, "Pgrp=");
  at = Put(at, end, static_cast<unsigned long long>(pid));
  at = Put(at, end, "\nStart=");
  at = Put(at, end, startTime);
  at = Put(at, end, "\nBoot=");
  at = Put(at, end, bootId);
  return static_cast<size_t>(at - out);
}

int CreateRecordFile(const char* path) {
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path,
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW |
                                      O_CLOEXEC,
                                  0600));
}

}  // namespace

std::string FormatCommandGroup(const CommandGroup& group) {
  char text[kRecordSize];
  return std::string(text, FormatRecord(group.pid, group.startTime,
                                        group.bootId.c_str(), text));
}

bool ParseCommandGroup(const std::string& text, CommandGroup* group) {
  int pid = 0, used = 0;
  unsigned long long start = 0;
  char boot[65] = "";
  if (sscanf(text.c_str(), "Pgrp=%d\nStart=%llu\nBoot=%64[0-9a-f-]%n", &pid,
             &start, boot, &used) != 3 ||
      static_cast<size_t>(used) != text.size() || pid <= 0 ||
      strlen(boot) != 36)  // a boot id is a UUID: a record cut short is none
    return false;
  group->pid = pid;
  group->startTime = start;
  group->bootId = boot;
  return true;
}

int RecordOwnGroup(const char* path, const char* bootId) {
  ProcessStat own;
  if (!ReadProcessStat("/proc/self/stat", &own)) return errno != 0 ? errno : EIO;
  char text[kRecordSize];
  size_t size = FormatRecord(static_cast<pid_t>(syscall(SYS_getpid)),
                             own.startTime, bootId, text);
  int fd = CreateRecordFile(path);
  if (fd < 0 && errno == EEXIST &&
      syscall(SYS_unlinkat, AT_FDCWD, path, 0) == 0)
    fd = CreateRecordFile(path);
  if (fd < 0) return errno;
  int error = 0;
  // 0600 less the umask so far; now readable for the operators' tools.
  if (syscall(SYS_fchmod, fd, 0644) != 0 ||
      syscall(SYS_write, fd, text, size) != static_cast<long>(size))
    error = errno != 0 ? errno : EIO;
  syscall(SYS_close, fd);
  if (error != 0) syscall(SYS_unlinkat, AT_FDCWD, path, 0);
  return error;
}

std::string ReadBootId() {
  char text[128];
  ssize_t n = ReadSmallFile("/proc/sys/kernel/random/boot_id", text,
                            sizeof(text));
  if (n <= 0) return std::string();
  return std::string(text, strcspn(text, "\n"));
}

bool ReadProcessStartTime(pid_t pid, unsigned long long* startTime) {
  ProcessStat stat;
  if (!ReadProcessStat(pid, &stat)) return false;
  *startTime = stat.startTime;
  return true;
}

bool CommandGroupRuns(const CommandGroup& group) {
  if (group.pid <= 0 || group.bootId.empty() || ReadBootId() != group.bootId)
    return false;
  ProcessStat leader;
  if (ReadProcessStat(group.pid, &leader)) {
    if (leader.startTime != group.startTime) return false;  // another's id
    if (Alive(leader)) return true;
  }
  // EPERM: members there, of another user (a tool that only looks).
  if (kill(-group.pid, 0) != 0 && errno == ESRCH) return false;
  return GroupHasLiveMember(group.pid);
}

bool ReadGroupRecord(const char* path, CommandGroup* group) {
  int fd = OpenOwnFile(path, O_RDONLY, 0, nullptr);
  if (fd < 0) return false;
  char text[256];
  ssize_t n = ReadFully(fd, text, sizeof(text));
  close(fd);
  return n > 0 &&
         ParseCommandGroup(std::string(text, static_cast<size_t>(n)), group);
}
