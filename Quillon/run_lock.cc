#include "run_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "root_only.h"

const char kRunLockDirectory[] = "/run/quillon";

namespace {

std::string Failure(const std::string& path, const std::string& what) {
  return path + ": " + what;
}

// The identity of the argument file: a regular file, not a symbolic link.
// Otherwise false with `state` kNoFile when there is none to lock (opening
// it reports why), or kFailed when it cannot be looked at.
bool Identify(const std::string& argFile, struct stat* st, RunLockState* state,
              std::string* why) {
  if (lstat(argFile.c_str(), st) != 0) {
    int error = errno;
    *why = Failure(argFile, strerror(error));
    *state = error == ENOENT || error == ENOTDIR || error == EACCES ||
                     error == ENAMETOOLONG || error == ELOOP
                 ? RunLockState::kNoFile
                 : RunLockState::kFailed;
    return false;
  }
  if (S_ISREG(st->st_mode)) return true;
  *why = Failure(argFile, S_ISLNK(st->st_mode) ? "is a symbolic link"
                                               : "is not a regular file");
  *state = RunLockState::kNoFile;
  return false;
}

// Opens the lock directory, creating it when `create`. -1 with `why` empty
// when it is missing and not created, or with `why` saying what is wrong.
int OpenDirectory(const std::string& dir, bool create, std::string* why) {
  why->clear();
  bool created = false;
  for (int attempt = 0;; ++attempt) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      struct stat st;
      if (fstat(fd, &st) != 0) {
        *why = Failure(dir, strerror(errno));
      } else {
        if (created) {  // exactly 0700, whatever the umask
          fchmod(fd, 0700);
          st.st_mode = (st.st_mode & ~07777) | 0700;
        }
        std::string reason = WhyNotRootsAlone(st);
        if (reason.empty()) return fd;
        *why = Failure(dir, reason);
      }
      close(fd);
      return -1;
    }
    int error = errno;
    struct stat st;
    if (error == ENOENT && !create) return -1;
    if (error == ENOENT && attempt < 3) {
      if (mkdir(dir.c_str(), 0700) == 0) {
        created = true;
        continue;
      }
      if (errno == EEXIST) continue;  // made by another process meanwhile
      *why = Failure(dir, std::string("cannot be created: ") + strerror(errno));
    } else if ((error == ELOOP || error == ENOTDIR) &&
               lstat(dir.c_str(), &st) == 0) {
      *why = Failure(dir, S_ISLNK(st.st_mode) ? "is a symbolic link"
                                              : "is not a directory");
    } else {
      *why = Failure(dir, strerror(error));
      if (error == EACCES) *why += " (the run locks are root's alone)";
    }
    return -1;
  }
}

// Opens the lock file `name` in `dirFd` (creating it when `create`): -1
// with `why` empty when it is missing and not created.
int OpenLockFile(int dirFd, const std::string& path, const std::string& name,
                 bool create, std::string* why) {
  why->clear();
  int fd;
  do {
    fd = openat(dirFd, name.c_str(),
                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                    (create ? O_CREAT : 0),
                0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno != ENOENT || create)
      *why = Failure(path,
                     errno == ELOOP ? "is a symbolic link" : strerror(errno));
    return -1;
  }
  struct stat st;
  std::string reason = fstat(fd, &st) != 0    ? strerror(errno)
                       : !S_ISREG(st.st_mode) ? "is not a regular file"
                                              : WhyNotRootsAlone(st);
  if (reason.empty()) return fd;
  *why = Failure(path, reason);
  close(fd);
  return -1;
}

int Flock(int fd, int operation) {
  int rc;
  do {
    rc = flock(fd, operation | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// Looks for a write flock on the file (device, inode) in /proc/locks:
// kHeld or kFree, kFailed when the table cannot be read.
RunLockState LookUpProcLocks(dev_t device, ino_t inode) {
  FILE* locks = fopen("/proc/locks", "re");
  if (locks == nullptr) return RunLockState::kFailed;
  char wanted[64];
  snprintf(wanted, sizeof(wanted), " %02x:%02x:%lu ", major(device),
           minor(device), static_cast<unsigned long>(inode));
  RunLockState state = RunLockState::kFree;
  char line[512];
  while (fgets(line, sizeof(line), locks) != nullptr) {
    // "1: FLOCK  ADVISORY  WRITE 123 fe:00:4711 0 EOF"; a waiter's line
    // has "->" after the number and holds nothing.
    if (strstr(line, "->") != nullptr || strstr(line, " FLOCK ") == nullptr)
      continue;
    if (strstr(line, wanted) != nullptr) {
      state = RunLockState::kHeld;
      break;
    }
  }
  fclose(locks);
  return state;
}

}  // namespace

std::string RunLockFileName(dev_t device, ino_t inode) {
  return std::to_string(static_cast<unsigned long long>(device)) + "-" +
         std::to_string(static_cast<unsigned long long>(inode)) + ".lock";
}

RunLock::~RunLock() {
  if (fd_ >= 0) close(fd_);
}

RunLockState RunLock::Take(const std::string& argFile, std::string* why) {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  struct stat arg;
  RunLockState state;
  if (!Identify(argFile, &arg, &state, why)) return state;
  int dirFd = OpenDirectory(directory_, true, why);
  if (dirFd < 0) return RunLockState::kFailed;
  const std::string name = RunLockFileName(arg.st_dev, arg.st_ino);
  const std::string path = directory_ + "/" + name;
  int fd = OpenLockFile(dirFd, path, name, true, why);
  close(dirFd);
  if (fd < 0) return RunLockState::kFailed;
  if (Flock(fd, LOCK_EX) == 0) {
    fd_ = fd;
    return RunLockState::kTaken;
  }
  int error = errno;
  close(fd);
  if (error == EWOULDBLOCK) return RunLockState::kHeld;
  *why = Failure(path, std::string("cannot be locked: ") + strerror(error));
  return RunLockState::kFailed;
}

RunLockState RunLock::Probe(const std::string& argFile,
                            std::string* why) const {
  struct stat arg;
  RunLockState state;
  if (!Identify(argFile, &arg, &state, why)) return state;
  int dirFd = OpenDirectory(directory_, false, why);
  if (dirFd < 0)
    return why->empty() ? RunLockState::kFree : RunLockState::kFailed;
  const std::string name = RunLockFileName(arg.st_dev, arg.st_ino);
  const std::string path = directory_ + "/" + name;
  int fd = OpenLockFile(dirFd, path, name, false, why);
  close(dirFd);
  if (fd < 0) return why->empty() ? RunLockState::kFree : RunLockState::kFailed;
  struct stat st;
  state = fstat(fd, &st) == 0 ? LookUpProcLocks(st.st_dev, st.st_ino)
                              : RunLockState::kFailed;
  if (state == RunLockState::kFailed) {
    if (Flock(fd, LOCK_SH) == 0) {
      flock(fd, LOCK_UN);
      state = RunLockState::kFree;
    } else if (errno == EWOULDBLOCK) {
      state = RunLockState::kHeld;
    } else {
      *why = Failure(
          path, std::string("the lock cannot be tested: ") + strerror(errno));
    }
  }
  close(fd);
  return state;
}
