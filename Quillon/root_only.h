// Whether what a signed run uses can be changed by anyone but root.
//
// A signature only means something when nobody else can change the signed
// files between the check and their use. So before a package is verified,
// everything the run will use must be root's alone: owned by the effective
// user and writable by nobody else. The rule is held by
//
//  - each path checked: the path itself and every directory above it, with
//    symbolic links on the way resolved and both the link and its target
//    held to the rule (a link to a user's home is as good as the home);
//  - a directory above a checked path may be writable by others only with
//    the sticky bit (as /tmp has it): others can then neither rename nor
//    remove what root owns in it;
//  - a tree check also holds every file and directory below the path to
//    the rule, and the targets of the links it meets.
//
// Since nothing on the way can be changed by another user once the check
// passes, there is no window between check and use for one to slip into.
// The check writes nothing.

#ifndef QUILLON_ROOT_ONLY_H_
#define QUILLON_ROOT_ONLY_H_

#include <sys/stat.h>

#include <string>

// Why `path` (relative to the current directory, or absolute) fails the
// rule above, naming the offending path, its owner and mode and what to
// change; empty when it passes. With `tree`, everything below it too.
std::string WhyNotRootOnly(const std::string& path, bool tree);

// The rule for one file or directory alone, of status `st` (from fstat of
// a descriptor opened without following a link): why it fails, "owned by
// user N with mode M - <what to change>", or empty when it passes. For what
// Quillon opens from a directory it has checked by descriptor: the trusted
// keys, the run lock (run_lock.h), the record of taken lines
// (taken_lines.h).
std::string WhyNotRootsAlone(const struct stat& st);

// Opens `dir`, a directory that holds the effective user's own state (the
// run locks, the record of taken lines), without following a final
// symbolic link. When it is missing and `create` is set, it is made with
// mode 0700 whatever the umask, and *created (if given) says so; the
// caller flushes its parent when the new entry must survive a power cut.
// Kept only when it passes WhyNotRootsAlone. A close-on-exec descriptor,
// or -1 with `why` empty when it is missing and not created, or saying
// "<dir>: <reason>"; a directory that cannot be entered says that `holds`
// ("the run locks") are root's alone.
int OpenRootsDirectory(const std::string& dir, const char* holds, bool create,
                       bool* created, std::string* why);

// Opens `name` in the directory `dirFd` with `flags` (O_RDONLY, O_RDWR,
// O_APPEND, O_CREAT for a file of mode 0600), without following a
// symbolic link or blocking on a FIFO. Kept only when it is a regular file
// that passes WhyNotRootsAlone. A close-on-exec descriptor, or -1 with
// `why` empty when it is missing and not created (errno ENOENT), or saying
// what is wrong ("is a symbolic link", "is not a regular file", ...).
int OpenRootsFile(int dirFd, const std::string& name, int flags,
                  std::string* why);

#endif  // QUILLON_ROOT_ONLY_H_
