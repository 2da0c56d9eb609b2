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
#include "safe_file.h"

const char kRunLockDirectory[] = "/run/quillon";

namespace {

const char kHolds[] = "the run locks";

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

// Opens the lock file of `argFile` in `directory` (creating both when
// `create`) and names it in `path`. -1 with `state`: kNoFile or kFailed,
// with `why`, or kFree when the directory or the file is missing.
int OpenLockFile(const std::string& directory, const std::string& argFile,
                 bool create, std::string* path, RunLockState* state,
                 std::string* why) {
  struct stat arg;
  if (!Identify(argFile, &arg, state, why)) return -1;
  int fd = -1;
  int dirFd = OpenRootsDirectory(directory, kHolds, create, nullptr, why);
  if (dirFd >= 0) {
    const std::string name = RunLockFileName(arg.st_dev, arg.st_ino);
    *path = directory + "/" + name;
    fd = OpenRootsFile(dirFd, name, O_RDONLY | (create ? O_CREAT : 0), why);
    if (fd < 0 && !why->empty()) *why = Failure(*path, *why);
    close(dirFd);
  }
  if (fd < 0)
    *state = why->empty() ? RunLockState::kFree : RunLockState::kFailed;
  return fd;
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
  std::string path;
  RunLockState state;
  int fd = OpenLockFile(directory_, argFile, true, &path, &state, why);
  if (fd < 0) return state;  // never kFree: both are made when missing
  if (FlockRetrying(fd, LOCK_EX | LOCK_NB) == 0) {
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
  std::string path;
  RunLockState state;
  int fd = OpenLockFile(directory_, argFile, false, &path, &state, why);
  if (fd < 0) return state;
  struct stat st;
  state = fstat(fd, &st) == 0 ? LookUpProcLocks(st.st_dev, st.st_ino)
                              : RunLockState::kFailed;
  if (state == RunLockState::kFailed) {
    if (FlockRetrying(fd, LOCK_SH | LOCK_NB) == 0) {
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
