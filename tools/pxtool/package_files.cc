#include "package_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "arg_grammar.h"
#include "path_parts.h"

namespace pxtool {

namespace {

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string Join(const std::string& dir, const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  if (dir.empty() || dir == ".") return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// The real path of `path`, or empty.
std::string RealPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::string();
  std::string result(resolved);
  free(resolved);
  return result;
}

}  // namespace

std::string PackageLocation::ArgPath() const { return Join(dir, argFile); }

std::string PackageLocation::ArgDir() const { return DirectoryPart(ArgPath()); }

bool LocatePackage(const char* first, const char* second,
                   PackageLocation* where, std::string* error) {
  std::string path(first);
  if (second != nullptr) {
    if (!IsDirectory(path)) {
      *error = path + ": not a directory";
      return false;
    }
    where->dir = path;
    where->argFile = second;
    return true;
  }
  if (!IsDirectory(path)) {
    if (!Exists(path)) {
      *error = path + ": no such file or directory";
      return false;
    }
    size_t slash = path.rfind('/');
    where->dir = slash == std::string::npos ? "." : path.substr(0, slash);
    if (where->dir.empty()) where->dir = "/";
    where->argFile = slash == std::string::npos ? path : path.substr(slash + 1);
    return true;
  }
  where->dir = path;
  if (Exists(Join(path, kDefaultArgFileName))) {
    where->argFile = kDefaultArgFileName;
    return true;
  }
  std::vector<std::string> found;
  if (DIR* dir = opendir(path.c_str())) {
    while (struct dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (IsDirectory(Join(path, name)) && Exists(Join(Join(path, name), kDefaultArgFileName)))
        found.push_back(name + "/px.arg");
    }
    closedir(dir);
  }
  if (found.size() != 1) {
    *error = path + (found.empty()
                         ? ": no px.arg in it or in a directory right below it"
                         : ": more than one px.arg below it; name one");
    return false;
  }
  where->argFile = found[0];
  return true;
}

namespace {

// Opens `path` for reading as ReadPackageFile describes; returns the
// descriptor and its size, or -1 with `error`.
int OpenPackageFile(const std::string& path, size_t maxSize,
                    const std::string& within, off_t* size,
                    std::string* error) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    *error = path + ": " + strerror(errno);
    return -1;
  }
  if (S_ISLNK(st.st_mode) && !within.empty()) {
    std::string target = RealPath(path), root = RealPath(within);
    if (target.empty() || root.empty() ||
        target.compare(0, root.size() + 1, root + "/") != 0) {
      *error = path + ": a symbolic link out of the package (" +
               (target.empty() ? std::string("dangling") : target) + ")";
      return -1;
    }
  }
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = path + ": " + strerror(errno);
    return -1;
  }
  if (fstat(fd, &st) != 0) {
    *error = path + ": " + strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    *error = path + ": not a regular file";
  } else if (static_cast<unsigned long long>(st.st_size) > maxSize) {
    *error = path + ": " + std::to_string(st.st_size) +
             " bytes, more than the " + std::to_string(maxSize) +
             " bytes read";
  } else {
    *size = st.st_size;
    return fd;
  }
  close(fd);
  return -1;
}

}  // namespace

bool ReadPackageFile(const std::string& path, size_t maxSize,
                     const std::string& within, std::string* text,
                     std::string* error) {
  off_t size = 0;
  int fd = OpenPackageFile(path, maxSize, within, &size, error);
  if (fd < 0) return false;
  text->assign(static_cast<size_t>(size), '\0');
  size_t done = 0;
  while (done < text->size()) {
    ssize_t n = read(fd, &(*text)[done], text->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  text->resize(done);  // a file that shrank meanwhile is read as it is
  close(fd);
  return true;
}

namespace {

// The mapping being read, so that a SIGBUS inside it can be answered. A
// file cut short by another process while it is mapped (a log rotation)
// loses its pages past the new end, and touching one raises SIGBUS. The
// handler maps zero pages over the rest of the mapping, notes the cut and
// returns: the reader goes on over zeros, stops after the piece it is in,
// and fails with a message. No jump out of the reader's frames is needed.
char* volatile g_mapStart = nullptr;
char* volatile g_mapEnd = nullptr;
uintptr_t g_pageSize = 4096;
volatile sig_atomic_t g_mapCut = 0;

void OnBusError(int sig, siginfo_t* info, void*) {
  char* at = static_cast<char*>(info->si_addr);
  char* start = g_mapStart;
  char* end = g_mapEnd;
  if (start != nullptr && at >= start && at < end) {
    char* from = start + (static_cast<uintptr_t>(at - start) & ~(g_pageSize - 1));
    if (mmap(from, static_cast<size_t>(end - from), PROT_READ,
             MAP_PRIVATE | MAP_FIXED | MAP_ANONYMOUS, -1, 0) != MAP_FAILED) {
      g_mapCut = 1;
      return;
    }
  }
  signal(sig, SIG_DFL);  // not ours: the fault repeats and ends the process
}

}  // namespace

bool ReadPackageFileInPieces(
    const std::string& path, size_t maxSize, const std::string& within,
    const std::function<void(const char*, size_t)>& piece, std::string* error) {
  off_t size = 0;
  int fd = OpenPackageFile(path, maxSize, within, &size, error);
  if (fd < 0) return false;
  if (size == 0) {
    close(fd);
    return true;
  }
  // Mapped, not read: for a large log, copying the pages through the
  // kernel costs more system time than mapping them.
  size_t length = static_cast<size_t>(size);
  char* map = static_cast<char*>(mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0));
  close(fd);
  if (map == MAP_FAILED) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  madvise(map, length, MADV_SEQUENTIAL);
  struct sigaction busError = {}, previous = {};
  busError.sa_sigaction = OnBusError;
  busError.sa_flags = SA_SIGINFO;
  sigemptyset(&busError.sa_mask);
  g_mapCut = 0;
  g_pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  g_mapStart = map;
  g_mapEnd = map + length;
  sigaction(SIGBUS, &busError, &previous);
  // Handed over 1 MiB at a time, so that a cut is noticed soon after.
  const size_t kPiece = 1 << 20;
  for (size_t at = 0; at < length && !g_mapCut; at += kPiece)
    piece(map + at, std::min(kPiece, length - at));
  sigaction(SIGBUS, &previous, nullptr);
  g_mapStart = g_mapEnd = nullptr;
  munmap(map, length);
  if (g_mapCut) {
    *error = path + ": cut short while it was read";
    return false;
  }
  return true;
}

}  // namespace pxtool
