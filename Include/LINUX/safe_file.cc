#include "safe_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "path_parts.h"

namespace {

int Refuse(int fd, int error, const std::string& reason, std::string* why) {
  if (fd >= 0) close(fd);
  if (why) *why = reason;
  errno = error;
  return -1;
}

// Why the open file `fd` is not one this process may keep writing, or an
// empty text when it is.
std::string Foreign(const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return "is not a regular file";
  if (st.st_nlink != 1)
    return "has " + std::to_string(st.st_nlink) + " links";
  if (st.st_uid != geteuid())
    return "belongs to user " + std::to_string(st.st_uid);
  return std::string();
}

}  // namespace

int OpenRetrying(int dirfd, const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = openat(dirfd, path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int CreateExclusive(const char* path, int flags, mode_t mode,
                    std::string* why) {
  return CreateExclusiveAt(AT_FDCWD, path, flags, mode, why);
}

int OpenOwnFile(const char* path, int flags, mode_t mode, std::string* why,
                bool* created) {
  return OpenOwnFileAt(AT_FDCWD, path, flags, mode, why, created);
}

int CreateExclusiveAt(int dirfd, const char* name, int flags, mode_t mode,
                      std::string* why) {
  flags &= ~(O_CREAT | O_EXCL | O_TRUNC);
  int fd = OpenRetrying(
      dirfd, name, flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    struct stat st;
    if (errno == EEXIST && why &&
        fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
      *why = S_ISLNK(st.st_mode) ? "is a symbolic link" : "already exists";
    return -1;
  }
  // 0600 less the umask so far; now exactly the mode asked for.
  if (fchmod(fd, mode) != 0) {
    int error = errno;
    close(fd);
    unlinkat(dirfd, name, 0);
    errno = error;
    return -1;
  }
  return fd;
}

int OpenOwnFileAt(int dirfd, const char* name, int flags, mode_t mode,
                  std::string* why, bool* created) {
  flags &= ~(O_TRUNC | O_EXCL);
  if (created != nullptr) *created = false;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (flags & O_CREAT) {
      int fd = CreateExclusiveAt(dirfd, name, flags, mode, nullptr);
      if (fd >= 0 && created != nullptr) *created = true;
      if (fd >= 0 || errno != EEXIST) return fd;
    }
    // It exists: open what is there, without following a final link and
    // without blocking on a FIFO, and look at it before keeping it.
    int fd = OpenRetrying(dirfd, name, (flags & ~O_CREAT) | O_NOFOLLOW |
                                           O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
      if (errno == ELOOP) return Refuse(-1, ELOOP, "is a symbolic link", why);
      if (errno == ENOENT && (flags & O_CREAT)) continue;  // removed meanwhile
      return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0)
      return Refuse(fd, errno, "cannot be examined", why);
    std::string reason = Foreign(st);
    if (!reason.empty()) return Refuse(fd, EPERM, reason, why);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
  }
  errno = ENOENT;
  return -1;
}

int OpenRegularFile(const char* path, int flags, struct stat* st) {
  int fd = OpenRetrying(AT_FDCWD, path, flags | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  int error = fstat(fd, st) != 0 ? errno : S_ISREG(st->st_mode) ? 0 : EINVAL;
  if (error != 0) {
    close(fd);
    errno = error;
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

std::string WhyNotOwnFile(const char* path, bool* exists) {
  struct stat st;
  *exists = false;
  if (lstat(path, &st) != 0)
    return errno == ENOENT ? std::string() : "cannot be examined";
  *exists = true;
  if (S_ISLNK(st.st_mode)) return "is a symbolic link";
  return Foreign(st);
}

bool IsTemporaryBeside(const std::string& name, const std::string& base,
                       const char* tag) {
  const std::string stem = "." + base.substr(0, 200) + "." + tag + "-";
  if (name.compare(0, stem.size(), stem) != 0) return false;
  size_t dash = name.find('-', stem.size());
  return dash != std::string::npos && dash > stem.size() &&
         dash + 1 < name.size() &&
         name.find_first_not_of("0123456789", stem.size()) == dash &&
         name.find_first_not_of("0123456789", dash + 1) == std::string::npos;
}

int CreateTemporaryBeside(const std::string& target, const char* tag,
                          mode_t mode, std::string* tempPath,
                          std::string* why) {
  static std::atomic<unsigned> counter{0};
  const std::string base = NamePart(target);
  const std::string dir = target.substr(0, target.size() - base.size());
  std::string stem = dir + "." + base.substr(0, 200) + "." + tag + "-" +
                     std::to_string(getpid()) + "-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = stem + std::to_string(counter++);
    int fd = CreateExclusive(name.c_str(), O_WRONLY, mode, why);
    if (fd >= 0) {
      tempPath->swap(name);  // no allocation: the caller owns the file now
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

bool WriteAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

ssize_t ReadFully(int fd, void* data, size_t size, off_t offset) {
  char* p = static_cast<char*>(data);
  size_t done = 0;
  while (done < size) {
    ssize_t n = offset < 0 ? read(fd, p + done, size - done)
                           : pread(fd, p + done, size - done,
                                   offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

int ReadWhole(int fd, size_t limit, std::string* text) {
  text->clear();
  char buffer[4096];
  for (;;) {
    ssize_t n =
        pread(fd, buffer, sizeof(buffer), static_cast<off_t>(text->size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    text->append(buffer, static_cast<size_t>(n));
    if (text->size() > limit) return EFBIG;
  }
}

int FlockRetrying(int fd, int operation) {
  int rc;
  do {
    rc = flock(fd, operation);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

bool ReplaceWhole(const std::string& target, const std::string& text,
                  const char* tag, mode_t mode, const struct stat* owner,
                  std::string* why, bool* created) {
  std::string temp;
  why->clear();
  int fd = CreateTemporaryBeside(target, tag, mode, &temp, why);
  if (created) *created = fd >= 0;
  if (fd < 0) {
    if (why->empty()) *why = strerror(errno);
    return false;
  }
  bool ok = WriteAll(fd, text.data(), text.size());
  if (ok && owner && geteuid() == 0 && (owner->st_uid != 0 || owner->st_gid != 0))
    ok = fchown(fd, owner->st_uid, owner->st_gid) == 0;
  if (ok) ok = fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    *why = strerror(error);
  }
  return ok;
}

int SyncDirectory(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  return error;
}
