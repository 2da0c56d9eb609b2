// Opening files for writing when running as root in a directory that other
// users may write to (an update package unpacked under /tmp, say).
//
// There are two ways to write a file, and a file must use one of them:
//
//  - Written whole: CreateExclusive makes a new file that cannot be a
//    symbolic link or a file someone else planted (O_CREAT | O_EXCL |
//    O_NOFOLLOW), gives it a fixed mode whatever the umask, and the caller
//    renames it over the real name when it is complete. rename replaces a
//    link or a planted file at that name; it never writes through it.
//  - Kept and written again (a log appended to, a file emptied at start):
//    OpenOwnFile opens without following a final symbolic link and keeps
//    the descriptor only when it names a regular file with a single link
//    that belongs to the effective user. A file it creates gets the fixed
//    mode; an existing file keeps its own.
//
// Both return a close-on-exec descriptor, or -1 with errno set and, for a
// refusal, `why` saying what was found ("is a symbolic link", "is not a
// regular file", "has 2 links", "belongs to user 1000"). Refusals set errno
// to ELOOP (a link) or EPERM (anything else). Neither call writes, syncs or
// truncates anything.

#ifndef INCLUDE_LINUX_SAFE_FILE_H_
#define INCLUDE_LINUX_SAFE_FILE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// openat, retried while a signal interrupts it: a descriptor, or -1 with
// errno set.
int OpenRetrying(int dirfd, const char* path, int flags, mode_t mode = 0);

// Creates `path`, which must not exist yet, with `flags` (O_WRONLY or
// O_RDWR, and O_APPEND if wanted) and exactly `mode`.
int CreateExclusive(const char* path, int flags, mode_t mode,
                    std::string* why);

// Opens `path` with `flags` (O_RDWR, O_APPEND, O_CREAT, ...; O_TRUNC is
// ignored: truncate the accepted descriptor instead) and checks it as
// described above. `mode` is given to a file this call creates; *created
// (when not null) tells whether it did.
int OpenOwnFile(const char* path, int flags, mode_t mode, std::string* why,
                bool* created = nullptr);

// The same two, for `name` in the directory open at `dirfd` (which may be
// O_PATH): for a file kept beside one that the run has left.
int CreateExclusiveAt(int dirfd, const char* name, int flags, mode_t mode,
                      std::string* why);
int OpenOwnFileAt(int dirfd, const char* name, int flags, mode_t mode,
                  std::string* why, bool* created = nullptr);

// Creates a new file in the directory of `target` named ".<name>.<tag>-<pid>-<n>"
// with CreateExclusive and returns its descriptor; `tempPath` receives the
// name without an allocation once the file exists, so that a caller that
// cleans up on an exception always knows what to remove. Tries a few names
// before giving up (-1, errno set).
int CreateTemporaryBeside(const std::string& target, const char* tag,
                          mode_t mode, std::string* tempPath,
                          std::string* why);

// Whether `name` (a bare file name) is one CreateTemporaryBeside makes for
// a target named `base` with `tag`.
bool IsTemporaryBeside(const std::string& name, const std::string& base,
                       const char* tag);

// Opens `path` with `flags` (O_RDONLY or O_RDWR, O_NOFOLLOW, ...) without
// blocking on a FIFO or device, and keeps the descriptor only when it names
// a regular file, whose status then fills *st. Otherwise -1 with errno set:
// EINVAL for anything but a regular file, ELOOP for a final symbolic link
// under O_NOFOLLOW. The descriptor is close-on-exec, in blocking mode.
int OpenRegularFile(const char* path, int flags, struct stat* st);

// Why the name `path` may not be written (as OpenOwnFile would refuse it,
// looked at with lstat), or an empty text when it is free or holds a file
// of this user's own; *exists tells which.
std::string WhyNotOwnFile(const char* path, bool* exists);

// Replaces `target` whole: writes `text` to a file CreateTemporaryBeside
// makes with `tag` and `mode`, gives it the owner and group of `owner` (if
// not null) when running as root, flushes it and renames it over `target`,
// so that a crash leaves the old content or the new, never a mixture. The
// directory is not flushed (SyncDirectory). On failure the new file is
// removed, `why` says the cause and *created (if not null) whether the new
// file was made at all.
bool ReplaceWhole(const std::string& target, const std::string& text,
                  const char* tag, mode_t mode, const struct stat* owner,
                  std::string* why, bool* created);

// Flushes the directory `dir` to disk, so that a rename or removal in it
// is there too. Returns 0 or the errno of the failure.
int SyncDirectory(const std::string& dir);

// Writes all of `size` bytes, retrying short writes and EINTR. A write that
// takes nothing counts as a full disk (ENOSPC). False with errno set.
bool WriteAll(int fd, const void* data, size_t size);

// Reads until `size` bytes are in or the file ends, retrying short reads and
// EINTR: from the current position, or with pread from `offset` when it is
// not negative. The count read, or -1 with errno set.
ssize_t ReadFully(int fd, void* data, size_t size, off_t offset = -1);

// Reads all that `fd` holds, from its start (pread), into `text`. Returns 0,
// EFBIG once it holds more than `limit` bytes, or the errno of a failed read.
int ReadWhole(int fd, size_t limit, std::string* text);

// flock, retried while a signal interrupts it: 0, or -1 with errno set.
int FlockRetrying(int fd, int operation);

#endif  // INCLUDE_LINUX_SAFE_FILE_H_
