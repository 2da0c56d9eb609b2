#include "run_output_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "report.h"
#include "run_log.h"
#include "safe_file.h"

namespace {

const size_t kMoveChunk = 64 * 1024;
const uint64_t kBlock = 4096;

// 16 hexadecimal digits, random; from the clock and the pid when the
// kernel has no randomness to give yet.
std::string RandomToken() {
  unsigned long long value = 0;
  if (getrandom(&value, sizeof(value), GRND_NONBLOCK) != sizeof(value)) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    value = (static_cast<unsigned long long>(now.tv_sec) << 32) ^
            static_cast<unsigned long long>(now.tv_nsec) ^
            (static_cast<unsigned long long>(getpid()) << 16);
  }
  char text[kOutputTokenLength + 1];
  snprintf(text, sizeof(text), "%016llx", value);
  return text;
}

std::string Stamp(time_t when) {
  char stamp[kLogTimeStampSize];
  return LogTimeStamp(when, stamp);
}

bool SameFile(int a, int b) {
  struct stat sa, sb;
  return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

uint64_t RoundUp(uint64_t n) { return (n + kBlock - 1) / kBlock * kBlock; }
uint64_t RoundDown(uint64_t n) { return n / kBlock * kBlock; }

}  // namespace

RunOutputWriter::~RunOutputWriter() {
  Close();
  if (dir_ >= 0) close(dir_);
}

void RunOutputWriter::ReportV(const char* ending, const char* format, va_list args) {
  char text[1024];
  vsnprintf(text, sizeof(text), format, args);
  QTRACE(1, "ERROR : command output \"%s\" %s%s", kRunOutputName, text, ending);
  systemLog_.Report(LOG_ERR, "command output \"%s\" %s%s", kRunOutputName, text, ending);
}

void RunOutputWriter::Report(const char* format, ...) {
  va_list args;
  va_start(args, format);
  ReportV("", format, args);
  va_end(args);
}

bool RunOutputWriter::GiveUp(const char* format, ...) {
  va_list args;
  va_start(args, format);
  ReportV(" - commands get /dev/null", format, args);
  va_end(args);
  Close();
  return false;
}

void RunOutputWriter::Close() {
  for (int* fd : {&fd_, &append_, &wake_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

bool RunOutputWriter::Open(time_t startTime) {
  try {
    dir_ = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir_ < 0) return GiveUp("cannot be opened: working directory (errno %d)", errno);
    buffer_.resize(kMoveChunk);
    token_ = RandomToken();
    stamp_ = Stamp(startTime);
    pid_ = static_cast<long>(getpid());
    if (!OpenFile(false)) return false;
    bool rotated = false;
    return RotateIfFull(&rotated) && (rotated || WriteRunLine());
  } catch (const std::bad_alloc&) {
    return GiveUp("cannot be opened: out of memory");
  }
}

bool RunOutputWriter::OpenFile(bool fresh) {
  std::string why;
  fd_ = fresh ? CreateExclusiveAt(dir_, kRunOutputName, O_RDWR, 0640, &why)
              : OpenOwnFileAt(dir_, kRunOutputName, O_RDWR | O_CREAT, 0640,
                              &why);
  if (fd_ < 0)
    return GiveUp("%s (errno %d)", why.empty() ? "cannot be opened" : why.c_str(), errno);
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0)
    return GiveUp("is in use by another run (errno %d)", errno);
  append_ = openat(dir_, kRunOutputName,
                   O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (append_ < 0 || !SameFile(fd_, append_))
    return GiveUp("was replaced while it was opened");
  fcntl(append_, F_SETFL, O_APPEND);
  // Without a watch the output is looked at every kOutputWatchMilliseconds.
  wake_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  char path[64];
  snprintf(path, sizeof(path), "/proc/self/fd/%d", fd_);
  if (wake_ >= 0 && inotify_add_watch(wake_, path, IN_MODIFY) < 0) {
    close(wake_);
    wake_ = -1;
  }
  return true;
}

bool RunOutputWriter::RotateIfFull(bool* rotated) {
  *rotated = false;
  uint64_t size = 0;
  if (!Size(&size)) return GiveUp("cannot be examined (errno %d)", errno);
  if (size <= kOutputFileBound) return true;
  // The name must still be this file: a file put there by someone else is
  // not renamed over the previous one.
  struct stat atName, own;
  if (fstatat(dir_, kRunOutputName, &atName, AT_SYMLINK_NOFOLLOW) != 0 ||
      fstat(fd_, &own) != 0 || atName.st_dev != own.st_dev ||
      atName.st_ino != own.st_ino)
    return GiveUp("was replaced");
  if (renameat(dir_, kRunOutputName, dir_, kRunOutputPreviousName) != 0)
    return GiveUp("cannot be renamed to \"%s\" (errno %d)", kRunOutputPreviousName, errno);
  Close();
  *rotated = true;
  return OpenFile(true) && WriteRunLine();
}

bool RunOutputWriter::Size(uint64_t* size) {
  struct stat st;
  if (fstat(fd_, &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool RunOutputWriter::EndsLine(uint64_t size, bool* endsLine) {
  *endsLine = true;
  if (size == 0) return true;
  char last = '\n';
  if (pread(fd_, &last, 1, static_cast<off_t>(size - 1)) != 1) return false;
  *endsLine = last == '\n';
  return true;
}

bool RunOutputWriter::WriteRunLine() {
  uint64_t size = 0;
  bool endsLine = true;
  if (Size(&size) && EndsLine(size, &endsLine)) {
    std::string text = endsLine ? "" : "\n";
    text += OutputRunLine(token_, size + text.size(), stamp_, pid_);
    if (WriteAll(append_, text.data(), text.size())) return true;
  }
  return GiveUp("run line cannot be written (errno %d)", errno);
}

bool RunOutputWriter::BeginCommand(const char* sectionKey, size_t lineNumber,
                                   const std::string& maskedCommand,
                                   ShellOutput* shell) {
  if (fd_ < 0) return false;
  try {
    bool rotated = false;
    if (!RotateIfFull(&rotated)) return false;
    uint64_t size = 0;
    bool endsLine = true;
    if (!Size(&size) || !EndsLine(size, &endsLine) ||
        (!endsLine && !WriteAll(append_, "\n", 1))) {
      Report("cannot be written (errno %d) - command runs with /dev/null",
             errno);
      return false;
    }
    start_ = OutputStartLine(token_, Stamp(time(nullptr)), sectionKey,
                             lineNumber, maskedCommand);
  } catch (const std::bad_alloc&) {
    Report("start line: out of memory - command runs with /dev/null");
    return false;
  }
  shell->fd = append_;
  for (int i = 0; i < 3; ++i) {
    shell->pieces[i] = start_.pieces[i].data();
    shell->sizes[i] = start_.pieces[i].size();
  }
  shell->wakeFd = wake_;
  shell->watcher = this;
  shell_ = shell;
  punchedTo_ = 0;
  punchFailed_ = false;
  clock_gettime(CLOCK_MONOTONIC, &started_);
  return true;
}

uint64_t RunOutputWriter::OutputBegin(const ShellOutput& shell) {
  return static_cast<uint64_t>(shell.lineAt) +
         static_cast<uint64_t>(shell.lineWritten > 0 ? shell.lineWritten : 0);
}

bool RunOutputWriter::Check() {
  if (shell_ == nullptr || shell_->lineAt < 0 || punchFailed_) return false;
  // The size as a raw system call: the number of looks depends on timing
  // (see the wait in shell.cc).
  struct stat st;
  if (syscall(SYS_fstat, fd_, &st) != 0) return false;
  const uint64_t end = static_cast<uint64_t>(st.st_size);
  const uint64_t begin = OutputBegin(*shell_);
  if (end <= begin + kOutputKeptPerCommand) return false;
  const uint64_t from = punchedTo_ > 0 ? punchedTo_ : RoundUp(begin + kOutputHeadKept);
  const uint64_t to = RoundDown(end - kOutputTailKept);
  if (to < from + kOutputPunchStep) return false;
  if (fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                static_cast<off_t>(from), static_cast<off_t>(to - from)) != 0) {
    punchFailed_ = true;
    Report("middle of a command's output cannot be punched out (errno %d) - "
           "it is cut when the command ends", errno);
    return false;
  }
  punchedTo_ = to;
  return true;
}

bool RunOutputWriter::Move(uint64_t from, uint64_t to, uint64_t length) {
  // As memmove: forwards when the bytes move to the front, else backwards.
  for (uint64_t done = 0; done < length;) {
    const uint64_t n = length - done < kMoveChunk ? length - done : kMoveChunk;
    const uint64_t at = to < from ? done : length - done - n;
    ssize_t got = pread(fd_, buffer_.data(), n, static_cast<off_t>(from + at));
    if (got != static_cast<ssize_t>(n)) return false;
    if (pwrite(fd_, buffer_.data(), n, static_cast<off_t>(to + at)) !=
        static_cast<ssize_t>(n))
      return false;
    done += n;
  }
  return true;
}

bool RunOutputWriter::Cut(uint64_t begin, uint64_t end, uint64_t* newEnd) {
  const uint64_t headEnd = begin + kOutputHeadKept;
  const uint64_t dropped = end - begin - kOutputKeptPerCommand;
  bool endsLine = true;
  if (!EndsLine(headEnd, &endsLine)) return false;
  std::string marker = endsLine ? "" : "\n";
  marker += OutputCutLine(token_, headEnd + marker.size(), dropped);
  const uint64_t tailAt = headEnd + marker.size();
  if (!Move(end - kOutputTailKept, tailAt, kOutputTailKept)) return false;
  if (pwrite(fd_, marker.data(), marker.size(), static_cast<off_t>(headEnd)) !=
      static_cast<ssize_t>(marker.size()))
    return false;
  *newEnd = tailAt + kOutputTailKept;
  return ftruncate(fd_, static_cast<off_t>(*newEnd)) == 0;
}

void RunOutputWriter::EndCommand(unsigned int returnCode) {
  ShellOutput* shell = shell_;
  shell_ = nullptr;
  // No start line (the shell's process was not made, or could not write):
  // no frame to close.
  if (fd_ < 0 || shell == nullptr || shell->lineAt < 0 ||
      shell->lineWritten <= 0)
    return;
  const uint64_t begin = OutputBegin(*shell);
  try {
    OutputEnd footer;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    footer.milliseconds = static_cast<unsigned long long>(
        (now.tv_sec - started_.tv_sec) * 1000LL +
        (now.tv_nsec - started_.tv_nsec) / 1000000);
    footer.stamp = Stamp(time(nullptr));
    footer.returnCode = returnCode;
    uint64_t end = 0;
    if (!Size(&end)) {
      Report("cannot be examined (errno %d) - no end line", errno);
      return;
    }
    footer.written = end > begin ? end - begin : 0;
    if (footer.written > kOutputKeptPerCommand) {
      uint64_t cutEnd = 0;
      if (!Cut(begin, end, &cutEnd)) {
        Report("a command's output cannot be cut (errno %d) - no end line",
               errno);
        return;
      }
      footer.cut = footer.written - kOutputKeptPerCommand;
      end = cutEnd;
    }
    bool endsLine = true;
    if (end > begin && !EndsLine(end, &endsLine)) endsLine = true;
    footer.lineFeedAdded = !endsLine;
    std::string text = endsLine ? "" : "\n";
    footer.kept = end + text.size() - begin;
    text += OutputEndLine(token_, end + text.size(), footer);
    if (!WriteAll(append_, text.data(), text.size()))
      Report("end line cannot be written (errno %d)", errno);
  } catch (const std::bad_alloc&) {
    Report("end line: out of memory");
  }
}
