#include "package_tree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "command_group.h"
#include "path_parts.h"
#include "px_tool.h"
#include "run_log.h"
#include "safe_file.h"
#include "status_file.h"

namespace {

// A package holds a few thousand files at most; these bounds stop a tree
// given by mistake ("/") early.
const long kMostEntries = 100000;
const int kDeepestTree = 64;

// What runs write beside the argument file themselves, which no manifest
// lists: the one list of them. `staged` names the copies a run stages
// there.
std::set<std::string> WrittenBesideArgumentFile(
    const std::string& argName, const std::vector<std::string>& staged) {
  std::set<std::string> names = {
      argName,  // on a line of its own
      kManifestName,
      kSignatureName,
      kRunLogName,
      kStatusFileName,
      kStatusTempName,
      kGroupRecordName,  // the running command's process group
      kRunOutputName,          // the commands' output
      kRunOutputPreviousName,  // and the one before it
      ResetBackupPath(argName),
  };
  names.insert(staged.begin(), staged.end());
  return names;
}

// A copy's temporary left by a run killed (or out of memory) while it
// staged the file named in `passed`.
bool IsCopyTemporary(const std::string& name, const std::set<std::string>& passed) {
  if (name.empty() || name[0] != '.') return false;
  for (const std::string& base : passed)
    if (IsTemporaryBeside(name, base, kCodecTempTag)) return true;
  return false;
}

// `entry` inside `parent` (a name or a path; empty: the top).
std::string Child(const std::string& parent, const std::string& entry) {
  if (parent.empty()) return entry;
  return parent.back() == '/' ? parent + entry : parent + "/" + entry;
}

std::string Under(const std::string& base, const std::string& path) {
  return base.empty() || (!path.empty() && path[0] == '/') ? path
                                                           : base + "/" + path;
}

// The manifest name prefix of the files of the package directory `fwPath`
// seen from the argument file's `directory`: the lexical way there.
bool WayToPackage(const std::string& directory, const std::string& fwPath,
                  std::string* prefix, std::string* why) {
  const bool fwAbsolute = !fwPath.empty() && fwPath[0] == '/';
  std::vector<std::string> parts = PathComponents(fwPath);
  parts.erase(std::remove(parts.begin(), parts.end(), "."), parts.end());
  if (!fwAbsolute) {
    std::vector<std::string> up;
    for (const std::string& part : PathComponents(directory)) {
      if (part == ".") continue;
      if (part == "..") {
        *why = "argument file path with \"..\" (give it without)";
        return false;
      }
      up.push_back("..");
    }
    if (!directory.empty() && directory[0] == '/') {
      *why = "absolute argument file path with a relative FWPATH (give it "
             "relative)";
      return false;
    }
    parts.insert(parts.begin(), up.begin(), up.end());
  }
  *prefix = fwAbsolute ? "/" : "";
  for (const std::string& part : parts) *prefix = Child(*prefix, part);
  return true;
}

typedef std::pair<dev_t, ino_t> DirectoryId;

bool IdOf(const std::string& path, DirectoryId* id) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  *id = {st.st_dev, st.st_ino};
  return true;
}

// Lists the regular files of directory trees into a layout, each directory
// once.
class Walk {
 public:
  explicit Walk(std::vector<PackageLayout::File>* files) : files_(files) {}

  // Lists the tree of the directory `path`, which may be reached through
  // links; its files are named below `prefix`. Entries at its top named in
  // `passed` are not listed unless they are directories.
  bool Tree(const std::string& path, const std::string& prefix,
            const std::set<std::string>& passed, std::string* file,
            std::string* why) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Fail(path, strerror(errno), file, why);
    return Directory(fd, path, prefix, 0, &passed, file, why);
  }
  // The name prefix of a directory already listed, or null.
  const std::string* Listed(const DirectoryId& id) const {
    auto found = listed_.find(id);
    return found == listed_.end() ? nullptr : &found->second;
  }

 private:
  static bool Fail(const std::string& name, const std::string& reason,
                   std::string* file, std::string* why) {
    *file = name;
    *why = reason;
    return false;
  }
  // Lists the open directory `fd` (closed here) and, below it, each
  // subdirectory opened without following a link.
  bool Directory(int fd, const std::string& path, const std::string& prefix,
                 int depth, const std::set<std::string>* passed,
                 std::string* file, std::string* why) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
      close(fd);
      return Fail(path, strerror(errno), file, why);
    }
    if (!listed_.emplace(DirectoryId(st.st_dev, st.st_ino), prefix).second) {
      close(fd);
      return true;  // met before by another way
    }
    std::unique_ptr<DIR, int (*)(DIR*)> dir(fdopendir(fd), closedir);
    if (dir == nullptr) {
      close(fd);
      return Fail(path, strerror(errno), file, why);
    }
    for (;;) {
      errno = 0;
      struct dirent* entry = readdir(dir.get());
      if (entry == nullptr)
        return errno == 0 || Fail(path, strerror(errno), file, why);
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      std::string listedName = Child(prefix, name);
      if (++entries_ > kMostEntries)
        return Fail(path, "more than " + std::to_string(kMostEntries) +
                              " entries - is this the package's directory?",
                    file, why);
      if (fstatat(dirfd(dir.get()), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return Fail(listedName, strerror(errno), file, why);
      if (passed != nullptr && !S_ISDIR(st.st_mode) &&
          (passed->count(name) || IsCopyTemporary(name, *passed)))
        continue;
      if (NeedsEscape(name))
        return Fail(Child(path, name), "file name holds a backslash, CR or LF",
                    file, why);
      if (S_ISREG(st.st_mode)) {
        files_->push_back({listedName, Child(path, name), false});
        continue;
      }
      if (S_ISLNK(st.st_mode))
        return Fail(listedName, "a symbolic link, which a signed package may "
                    "not hold (put the file itself there)", file, why);
      if (!S_ISDIR(st.st_mode))
        return Fail(listedName, "not a regular file, which a signed package "
                    "may not hold", file, why);
      if (depth >= kDeepestTree)
        return Fail(listedName, "nested too deeply", file, why);
      int sub = openat(dirfd(dir.get()), name.c_str(),
                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) return Fail(listedName, strerror(errno), file, why);
      if (!Directory(sub, Child(path, name), listedName, depth + 1, nullptr,
                     file, why))
        return false;
    }
  }

  std::vector<PackageLayout::File>* files_;
  std::map<DirectoryId, std::string> listed_;  // with their name prefix
  long entries_ = 0;
};

}  // namespace

bool DescribePackage(const PackageSource& source, PackageLayout* layout,
                     std::string* file, std::string* why) {
  const std::string& argFile = source.argFile;
  const std::string directory = DirectoryPart(argFile);
  layout->argFile = argFile;
  layout->directory = Under(source.base, directory);
  layout->argName = NamePart(argFile);
  layout->files.clear();
  *file = argFile;
  if (NeedsEscape(layout->argName) || layout->argName.empty()) {
    *why = "argument file name cannot be listed";
    return false;
  }
  DirectoryId here{}, package{};
  if (!IdOf(layout->directory, &here)) {
    *file = layout->directory;
    *why = "not a directory that can be read";
    return false;
  }
  // A package directory that is not there lists nothing, in a run too.
  const std::string fwPath = Under(source.base, source.fwPath);
  bool hasPackage = source.hasFwPath && IdOf(fwPath, &package);
  layout->packageIsHere = hasPackage && package == here;

  Walk walk(&layout->files);
  std::vector<std::string> staged;
  if (source.staging && hasPackage && !layout->packageIsHere)
    staged = source.names;
  if (!walk.Tree(layout->directory, "",
                 WrittenBesideArgumentFile(layout->argName, staged), file,
                 why))
    return false;
  if (hasPackage) {
    std::string prefix;
    if (const std::string* listed = walk.Listed(package)) {
      prefix = *listed;
    } else if (!WayToPackage(directory, source.fwPath, &prefix, why) ||
               !walk.Tree(fwPath, prefix, {}, file, why)) {
      return false;
    }
    std::map<std::string, PackageLayout::File*> byName;
    for (PackageLayout::File& f : layout->files) byName[f.name] = &f;
    for (const std::string& name : source.names) {
      auto found = byName.find(Child(prefix, name));
      if (found == byName.end()) continue;  // one of the run's own files
      found->second->listed = true;
      found->second->path = Under(source.base, source.fwPath + "/" + name);
    }
  }
  std::sort(layout->files.begin(), layout->files.end(),
            [](const PackageLayout::File& a, const PackageLayout::File& b) {
              return a.name < b.name;
            });
  for (size_t i = 0; i < layout->files.size(); ++i) {
    const std::string& name = layout->files[i].name;
    if (name == layout->argName || (i > 0 && name == layout->files[i - 1].name)) {
      *file = layout->files[i].path;
      *why = "manifest name \"" + name + "\" used twice";
      return false;
    }
  }
  return true;
}
