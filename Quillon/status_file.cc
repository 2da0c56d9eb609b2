#include "status_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "safe_file.h"

const char kStatusFileName[] = "HandlerStatus.txt";
const char kStatusTempName[] = "HandlerStatus.txt.new";
const char kStatusFileLayout[] = "Status=%d\nRetval=%d";

namespace {

const mode_t kStatusMode = 0644;

// The key of the layout's line `index` (0 or 1): its text before the number.
std::string LayoutKey(int index) {
  std::string layout = kStatusFileLayout;
  size_t begin = index == 0 ? 0 : layout.find('\n') + 1;
  return layout.substr(begin, layout.find('%', begin) - begin);
}

// Reads "<key><signed decimal>" as one whole line of `text` starting at
// `at`; advances `at` past the line feed.
bool ReadField(const std::string& text, size_t* at, const std::string& key,
               int* value) {
  size_t n = key.size();
  if (text.compare(*at, n, key) != 0) return false;
  size_t end = text.find('\n', *at);
  if (end == std::string::npos) end = text.size();
  size_t stop = end > *at + n && text[end - 1] == '\r' ? end - 1 : end;
  std::string digits = text.substr(*at + n, stop - *at - n);
  if (digits.empty() || digits.size() > 11) return false;
  char* rest = nullptr;
  long v = strtol(digits.c_str(), &rest, 10);
  if (*rest != '\0' || v < -2147483648L || v > 2147483647L) return false;
  *value = static_cast<int>(v);
  *at = end == text.size() ? end : end + 1;
  return true;
}

// Writes all of `text` at the start of the open file, cuts it there and
// flushes it to disk; closes it. Returns 0 or the errno of the failure.
int WriteAndClose(int fd, const char* text, bool inPlace) {
  const size_t size = strlen(text);
  int error = 0;
  if (inPlace) {
    // Overwrites the bytes that are there: as long as the file had a block,
    // this needs no new one, so it works on a full disk.
    if (pwrite(fd, text, size, 0) != static_cast<ssize_t>(size))
      error = errno ? errno : ENOSPC;
    else if (ftruncate(fd, static_cast<off_t>(size)) != 0)
      error = errno;
  } else if (!WriteAll(fd, text, size)) {
    error = errno;
  }
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  return error;
}

}  // namespace

const char* FormatStatusFile(int status, int ret,
                             char (&text)[kStatusTextSize]) {
  snprintf(text, sizeof(text), kStatusFileLayout, status, ret);
  return text;
}

bool ParseStatusFile(const std::string& text, StatusFileContent* content,
                     std::string* error) {
  size_t at = 0;
  if (!ReadField(text, &at, LayoutKey(0), &content->status)) {
    *error = "no \"Status=<number>\" line first";
    return false;
  }
  if (!ReadField(text, &at, LayoutKey(1), &content->retval)) {
    *error = "no \"Retval=<number>\" line after the Status= line";
    return false;
  }
  if (at != text.size()) {
    *error = "more than the two lines Status= and Retval=";
    return false;
  }
  return true;
}

int ReplaceStatusFile(const char* text, int* syncError, std::string* why) {
  *syncError = 0;
  int fd = CreateExclusive(kStatusTempName, O_WRONLY, kStatusMode, why);
  if (fd < 0 && errno == EEXIST && unlink(kStatusTempName) == 0)
    fd = CreateExclusive(kStatusTempName, O_WRONLY, kStatusMode, why);
  if (fd < 0) return errno;
  int error = WriteAndClose(fd, text, false);
  if (error == 0 && rename(kStatusTempName, kStatusFileName) != 0)
    error = errno;
  if (error != 0) {
    unlink(kStatusTempName);
    return error;
  }
  *syncError = SyncDirectory(".");  // the rename reaches the disk too
  return 0;
}

int RewriteStatusFileInPlace(const char* text, std::string* why) {
  int fd = OpenOwnFile(kStatusFileName, O_WRONLY | O_CREAT, kStatusMode, why);
  return fd < 0 ? errno : WriteAndClose(fd, text, true);
}

bool RemoveStatusFile() { return unlink(kStatusFileName) == 0; }
