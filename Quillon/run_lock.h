// One run per package at a time: the run lock, taken by a run and by
// `pxtool reset`, looked up by `pxtool status` and `report`.
//
// The lock is an exclusive advisory lock (flock) on a lock file of its own,
// never on the argument file: anyone who can read a package could flock its
// argument file and keep every run out. Lock files live in the run-lock
// directory (kRunLockDirectory, "/run/quillon"), which only its owner, root,
// can enter or write. A lock file is named by the argument file's identity,
// "<device>-<inode>.lock" in decimal (`stat -c %d-%i.lock px.arg`), so runs
// that reach one file through different paths (a second name, a link to its
// directory, a bind mount) take one lock.
//
// The directory is created (mode 0700) when it is missing, and used only
// when it is a directory, not a symbolic link, that belongs to the effective
// user and that group and others cannot write; a lock file only when it is
// a regular file of that user. Lock files are never removed: removing one
// while another process waits for it would let two runs hold two files of
// one name. /run is emptied at boot, and one file per argument file run
// since then stays (empty).
//
// A lock lasts while its descriptor is open (close-on-exec, never inherited
// by the commands): the kernel releases it when the process ends, however
// it ends, so a crashed run never leaves a stale lock.

#ifndef QUILLON_RUN_LOCK_H_
#define QUILLON_RUN_LOCK_H_

#include <sys/types.h>

#include <string>

extern const char kRunLockDirectory[];  // "/run/quillon"

enum class RunLockState {
  kTaken,   // Take: this object holds the lock
  kFree,    // Probe: no process holds it
  kHeld,    // another process holds it
  kNoFile,  // no argument file to lock: missing, out of reach, not a
            // regular file or a symbolic link (its opening says so)
  kFailed,  // the lock cannot be taken or looked up
};

// The lock file's name for an argument file of this identity.
std::string RunLockFileName(dev_t device, ino_t inode);

// The run lock of one argument file, in the lock directory `directory`.
class RunLock {
 public:
  explicit RunLock(std::string directory) : directory_(std::move(directory)) {}
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // Takes the lock of the argument file `argFile` without waiting, and
  // holds it until this object is destroyed (or the process ends). The
  // argument file is opened read-only, without following a final symbolic
  // link and without blocking on a FIFO. kTaken, kHeld, or kNoFile / kFailed
  // with `why` ("<path>: <reason>").
  RunLockState Take(const std::string& argFile, std::string* why);

  // Whether a process holds the lock of `argFile`, without taking it: the
  // lock file is looked up in /proc/locks, so that a run starting at that
  // moment never finds its package in use. Only where /proc/locks cannot be
  // read is a shared lock tried and released at once. A missing directory
  // or lock file is kFree. kFree, kHeld, or kNoFile / kFailed with `why`.
  RunLockState Probe(const std::string& argFile, std::string* why) const;

 private:
  std::string directory_;
  int fd_ = -1;  // the lock file, while held
};

#endif  // QUILLON_RUN_LOCK_H_
