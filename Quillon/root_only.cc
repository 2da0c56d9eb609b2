#include "root_only.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "path_parts.h"
#include "safe_file.h"

namespace {

// As many links as the kernel follows in one path, and a tree no deeper
// than any package needs.
const int kMostLinks = 40;
const int kDeepestTree = 64;
// A package's trees hold far fewer entries; a directory such as "/" given
// by mistake is refused rather than walked whole.
const long kMostEntries = 100000;

// Who must own what a signed run uses: root, or the test's own user.
std::string Owner() {
  uid_t me = geteuid();
  return me == 0 ? "root" : std::to_string(me);
}

std::string Describe(const struct stat& st, const std::string& change) {
  char mode[8];
  snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return "owned by user " + std::to_string(st.st_uid) + " with mode " + mode +
         " - " + change;
}

std::string Unusable(const std::string& path, const char* what, int error) {
  return path + ": " + what + " (" + strerror(error) + ")";
}

// The rule for one object; `above` for a directory above a checked path,
// which others may write to when it is sticky.
std::string Rule(const struct stat& st, bool above) {
  if (st.st_uid != geteuid())
    return Describe(st, "must belong to " + Owner() + " (chown " + Owner() + ")");
  if (S_ISLNK(st.st_mode) || (st.st_mode & (S_IWGRP | S_IWOTH)) == 0) return "";
  if (above && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) return "";
  return Describe(st, above ? "others may write to it: take their write permission "
                              "away (chmod go-w) or set the sticky bit (chmod +t)"
                            : "must not be writable by group or others (chmod go-w)");
}

std::string Judge(const std::string& path, const struct stat& st, bool above) {
  std::string why = Rule(st, above);
  return why.empty() ? why : path + ": " + why;
}

class Checker {
 public:
  // Judges every step from "/" to `path`, following links; *resolved gets
  // the path with no link left in it.
  std::string Resolve(const std::string& path, std::string* resolved);
  // Judges everything below the directory `dir` (a path without links).
  std::string Tree(const std::string& dir, int depth);

 private:
  int links_ = 0;
  long entries_ = 0;
};

std::string Checker::Resolve(const std::string& path, std::string* resolved) {
  std::string start = path;
  if (path.empty() || path[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr)
      return Unusable(path, "the current directory cannot be named", errno);
    start = std::string(cwd) + "/" + path;
    free(cwd);
  }
  struct stat st;
  if (lstat("/", &st) != 0) return Unusable("/", "cannot be examined", errno);
  std::string why = Judge("/", st, true);
  if (!why.empty()) return why;

  std::vector<std::string> todo = PathComponents(start);  // in reverse: back is next
  std::vector<std::string>(todo.rbegin(), todo.rend()).swap(todo);
  std::string current;  // "" is "/"
  while (!todo.empty()) {
    std::string part = todo.back();
    todo.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      current.resize(current.rfind('/') == std::string::npos ? 0 : current.rfind('/'));
      continue;
    }
    std::string next = current + "/" + part;
    if (lstat(next.c_str(), &st) != 0) return Unusable(next, "cannot be examined", errno);
    why = Judge(next, st, !todo.empty());
    if (!why.empty()) return why;
    if (!S_ISLNK(st.st_mode)) {
      current = next;
      continue;
    }
    if (++links_ > kMostLinks) return Unusable(next, "cannot be resolved", ELOOP);
    char target[PATH_MAX];
    ssize_t n = readlink(next.c_str(), target, sizeof(target) - 1);
    if (n < 0) return Unusable(next, "cannot be read", errno);
    target[n] = '\0';
    if (target[0] == '/') current.clear();
    std::vector<std::string> more = PathComponents(target);
    todo.insert(todo.end(), more.rbegin(), more.rend());
  }
  *resolved = current.empty() ? "/" : current;
  return "";
}

std::string Checker::Tree(const std::string& dir, int depth) {
  if (depth > kDeepestTree) return Unusable(dir, "is nested too deeply", ELOOP);
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return Unusable(dir, "cannot be listed", errno);
  std::string why;
  std::vector<std::string> subdirectories;
  while (why.empty()) {
    errno = 0;
    struct dirent* entry = readdir(listing);
    if (entry == nullptr) {
      if (errno != 0) why = Unusable(dir, "cannot be listed", errno);
      break;
    }
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    if (++entries_ > kMostEntries) {
      why = dir + ": too many entries to check (more than " +
            std::to_string(kMostEntries) + ") - is this the package's directory?";
      break;
    }
    std::string path = dir + "/" + entry->d_name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      why = Unusable(path, "cannot be examined", errno);
    } else if (S_ISLNK(st.st_mode)) {
      std::string target;
      why = Resolve(path, &target);
    } else {
      why = Judge(path, st, false);
      if (why.empty() && S_ISDIR(st.st_mode)) subdirectories.push_back(path);
    }
  }
  closedir(listing);
  for (size_t i = 0; why.empty() && i < subdirectories.size(); ++i)
    why = Tree(subdirectories[i], depth + 1);
  return why;
}

}  // namespace

std::string WhyNotRootsAlone(const struct stat& st) { return Rule(st, false); }

int OpenRootsDirectory(const std::string& dir, const char* holds, bool create,
                       bool* created, std::string* why) {
  why->clear();
  bool made = false;
  for (int attempt = 0;; ++attempt) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      struct stat st;
      if (fstat(fd, &st) != 0) {
        *why = dir + ": " + strerror(errno);
      } else {
        if (made) {  // exactly 0700, whatever the umask
          fchmod(fd, 0700);
          st.st_mode = (st.st_mode & ~07777) | 0700;
        }
        std::string reason = WhyNotRootsAlone(st);
        if (created != nullptr) *created = made;
        if (reason.empty()) return fd;
        *why = dir + ": " + reason;
      }
      close(fd);
      return -1;
    }
    int error = errno;
    struct stat st;
    if (error == ENOENT && !create) return -1;
    if (error == ENOENT && attempt < 3) {
      if (mkdir(dir.c_str(), 0700) == 0) {
        made = true;
        continue;
      }
      if (errno == EEXIST) continue;  // made by another process meanwhile
      *why = dir + ": cannot be created: " + strerror(errno);
    } else if ((error == ELOOP || error == ENOTDIR) &&
               lstat(dir.c_str(), &st) == 0) {
      *why = dir + (S_ISLNK(st.st_mode) ? ": is a symbolic link"
                                        : ": is not a directory");
    } else {
      *why = dir + ": " + strerror(error);
      if (error == EACCES) *why += std::string(" (") + holds + " are root's alone)";
    }
    return -1;
  }
}

int OpenRootsFile(int dirFd, const std::string& name, int flags,
                  std::string* why) {
  why->clear();
  int fd = OpenRetrying(dirFd, name.c_str(),
                        flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                        0600);
  if (fd < 0) {
    if (errno != ENOENT || (flags & O_CREAT))
      *why = errno == ELOOP ? "is a symbolic link" : strerror(errno);
    return -1;
  }
  struct stat st;
  *why = fstat(fd, &st) != 0    ? strerror(errno)
         : !S_ISREG(st.st_mode) ? "is not a regular file"
                                : WhyNotRootsAlone(st);
  if (why->empty()) return fd;
  close(fd);
  return -1;
}

std::string WhyNotRootOnly(const std::string& path, bool tree) {
  Checker checker;
  std::string resolved;
  std::string why = checker.Resolve(path, &resolved);
  if (why.empty() && tree) why = checker.Tree(resolved, 0);
  return why;
}
