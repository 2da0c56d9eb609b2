#include "taken_lines.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "path_parts.h"
#include "root_only.h"
#include "safe_file.h"

const char kStateDirectory[] = "/var/lib/quillon";

namespace {

const char kHolds[] = "the records of taken lines";
const char kHeader[] = "quillon taken lines 1";
// Far more than the lines of any argument file.
const size_t kLargestRecord = 16 << 20;

// The line numbers of the record `text`, its complete lines only. False
// with `why` when it is not a record or a line is damaged.
bool Parse(const std::string& text, std::set<size_t>* lines,
           std::string* why) {
  size_t at = 0;
  for (size_t number = 1, lf; (lf = text.find('\n', at)) != std::string::npos;
       ++number, at = lf + 1) {
    const std::string line = text.substr(at, lf - at);
    if (number == 1) {
      if (line == kHeader) continue;
      *why = "not a record of taken lines (no \"" + std::string(kHeader) +
             "\" line)";
      return false;
    }
    if (line.empty() || line.size() > 15 || line[0] == '0' ||
        line.find_first_not_of("0123456789") != std::string::npos) {
      *why = "line " + std::to_string(number) + " is not a line number";
      return false;
    }
    lines->insert(std::stoul(line));
  }
  return true;
}

// errno, or EPERM when a refusal left none that says why.
int ErrorOr(int error) { return error != 0 ? error : EPERM; }

}  // namespace

TakenLines::~TakenLines() { Close(); }

void TakenLines::Close() {
  if (fd_ >= 0) close(fd_);
  if (dirFd_ >= 0) close(dirFd_);
  fd_ = dirFd_ = -1;
}

int TakenLines::OpenDirectoryOf(const std::string& manifestDigest,
                                std::string* why) {
  Close();
  lines_.clear();
  name_ = manifestDigest + ".taken";
  path_ = directory_ + "/" + name_;
  return OpenRootsDirectory(directory_, kHolds, false, nullptr, why);
}

bool TakenLines::Load(const std::string& manifestDigest, std::string* why) {
  int dirFd = OpenDirectoryOf(manifestDigest, why);
  if (dirFd < 0) return why->empty();
  std::string reason, text;
  int fd = OpenRootsFile(dirFd, name_, O_RDONLY, &reason);
  close(dirFd);
  if (fd < 0 && reason.empty()) return true;
  int error = fd < 0 ? 0 : ReadWhole(fd, kLargestRecord, &text);
  if (fd >= 0) close(fd);
  if (fd >= 0 && error != 0) reason = strerror(error);
  if (reason.empty() && Parse(text, &lines_, &reason)) return true;
  lines_.clear();
  *why = path_ + ": " + reason;
  return false;
}

int TakenLines::OpenForAdding(std::string* why) {
  Close();
  bool created = false;
  dirFd_ = OpenRootsDirectory(directory_, kHolds, true, &created, why);
  if (dirFd_ < 0) return ErrorOr(errno);
  if (created) {  // the new directory's entry reaches the disk too
    std::string parent = DirectoryPart(directory_);
    if (int error = SyncDirectory(parent)) {
      *why = parent + ": " + strerror(error);
      return error;
    }
  }
  std::string reason;
  fd_ = OpenRootsFile(dirFd_, name_, O_RDWR | O_APPEND | O_CREAT, &reason);
  if (fd_ >= 0) return 0;
  int error = ErrorOr(errno);
  *why = path_ + ": " + reason;
  return error;
}

int TakenLines::Add(size_t line, std::string* why) {
  if (Has(line)) return 0;
  // The record as it stands under the lock: one that Forget replaced or
  // removed since it was opened is opened again.
  struct stat st = {};
  int error = 0;
  for (int attempt = 0; error == 0; ++attempt) {
    if (fd_ < 0) error = OpenForAdding(why);
    if (error == 0 && FlockRetrying(fd_, LOCK_EX) != 0) error = errno;
    if (error == 0 && fstat(fd_, &st) != 0) error = errno;
    if (error == 0 && st.st_nlink == 0) error = attempt < 3 ? 0 : ESTALE;
    if (error != 0 || st.st_nlink > 0) break;
    Close();
  }
  // A last line that a crash left without its LF is cut off.
  off_t size = error == 0 ? st.st_size : 0;
  char last = '\n';
  if (size > 0 && pread(fd_, &last, 1, size - 1) != 1) error = errno ? errno : EIO;
  if (error == 0 && last != '\n') {
    std::string text;
    error = ReadWhole(fd_, kLargestRecord, &text);
    size = static_cast<off_t>(text.rfind('\n') + 1);  // npos + 1: 0
    if (error == 0 && ftruncate(fd_, size) != 0) error = errno;
  }
  if (error == 0) {
    char entry[64];
    int length = snprintf(entry, sizeof(entry), "%s%s%zu\n",
                          size == 0 ? kHeader : "", size == 0 ? "\n" : "",
                          line);
    if (!WriteAll(fd_, entry, static_cast<size_t>(length)) ||
        fdatasync(fd_) != 0 || (size == 0 && fsync(dirFd_) != 0))
      error = errno;
  }
  if (error != 0) {
    if (why->empty()) *why = path_ + ": " + strerror(error);
    Close();  // the lock goes with it
    return error;
  }
  FlockRetrying(fd_, LOCK_UN);
  lines_.insert(line);
  return 0;
}

bool TakenLines::Forget(const std::string& manifestDigest,
                        const std::set<size_t>* lines, std::string* why) {
  int dirFd = OpenDirectoryOf(manifestDigest, why);
  if (dirFd < 0) return why->empty();
  std::string reason, text;
  int fd = OpenRootsFile(dirFd, name_, O_RDWR, &reason);
  bool ok = fd >= 0 || reason.empty();
  if (fd >= 0) {
    // Under the lock, so that no run adds a line to what is replaced.
    int error = FlockRetrying(fd, LOCK_EX) != 0
                    ? errno
                    : ReadWhole(fd, kLargestRecord, &text);
    std::set<size_t> kept;
    ok = error == 0 && (lines == nullptr || Parse(text, &kept, &reason));
    if (error != 0) reason = strerror(error);
    if (lines != nullptr)
      for (size_t line : *lines) kept.erase(line);
    const std::string temporary = name_ + ".new";
    if (ok && kept.empty()) {
      ok = unlinkat(dirFd, name_.c_str(), 0) == 0;
    } else if (ok) {
      std::string record = std::string(kHeader) + "\n";
      for (size_t line : kept) record += std::to_string(line) + "\n";
      int out = OpenRootsFile(dirFd, temporary, O_WRONLY | O_CREAT | O_TRUNC,
                              &reason);
      ok = out >= 0 && WriteAll(out, record.data(), record.size()) &&
           fdatasync(out) == 0 &&
           renameat(dirFd, temporary.c_str(), dirFd, name_.c_str()) == 0;
      if (out >= 0) close(out);
      if (!ok) unlinkat(dirFd, temporary.c_str(), 0);
    }
    ok = ok && fsync(dirFd) == 0;
    if (!ok && reason.empty()) reason = strerror(errno);
    close(fd);
  }
  close(dirFd);
  if (!ok) *why = path_ + ": " + reason;
  return ok;
}
