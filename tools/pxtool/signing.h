// What pxtool's signature subcommands (manifest.cc, sign.cc, verify.cc)
// share: entering the package, their messages, the package as they read it,
// and writing the manifest. See package_manifest.h and minisign.h for the
// formats. PACKAGE_DIR [ARGUMENT_FILE] are Quillon's two arguments
// (package_files.h). The manifest and the signature are written as new
// files beside the argument file and renamed into place, so either name
// shows a whole file.

#ifndef TOOLS_PXTOOL_SIGNING_H_
#define TOOLS_PXTOOL_SIGNING_H_

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "arg_file_digest.h"
#include "command_line.h"
#include "package_files.h"
#include "arg_grammar.h"
#include "minisign.h"
#include "package_check.h"
#include "package_manifest.h"
#include "safe_file.h"

namespace pxtool {
namespace signing {

int Failure(const std::string& file, const std::string& why);

// The argument file mapped read-only, with its package as a classic run
// finds it (package_tree.h). The current directory is the package
// directory.
class Package {
 public:
  ~Package() {
    if (text_ != nullptr) munmap(text_, size_);
  }
  bool Load(const std::string& argFile, std::string* file, std::string* why) {
    *file = argFile;
    // As the run opens it: a FIFO or device is refused without blocking.
    struct stat st;
    int fd = OpenRegularFile(argFile.c_str(), O_RDONLY, &st);
    if (fd < 0) {
      *why = errno == EINVAL ? "not a regular file" : strerror(errno);
      return false;
    }
    size_ = static_cast<size_t>(st.st_size);
    void* map = size_ == 0 ? MAP_FAILED
                           : mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
      *why = size_ == 0 ? "empty argument file" : strerror(errno);
      return false;
    }
    text_ = static_cast<char*>(map);
    PackageSource source;
    source.argFile = argFile;
    if (!ListPackage(text_, text_ + strnlen(text_, size_), false, &source, why) ||
        !DescribePackage(source, &layout_, file, why))
      return false;
    PristineArgDigest digest;
    digest.Update(text_, size_);
    argDigest_ = digest.FinalHex();
    markedTaken_ = digest.LinesMarkedTaken();
    return true;
  }
  // The argument file's pristine digest and the lines marked taken in it.
  const std::string& ArgDigest() const { return argDigest_; }
  const std::vector<size_t>& MarkedTaken() const { return markedTaken_; }
  const PackageLayout& layout() const { return layout_; }
  // Whether a recorded run took a line (PackageLayout::resumed).
  void SetResumed(bool resumed) { layout_.resumed = resumed; }

 private:
  char* text_ = nullptr;
  size_t size_ = 0;
  PackageLayout layout_;
  std::string argDigest_;
  std::vector<size_t> markedTaken_;
};

// Changes into the package directory (where.argFile is then the argument
// file's path); reports a failure.
bool EnterPackage(const std::string& dir);

// Writes the manifest of the package in the current directory, with the
// marks of its argument file as they are now as the shipped ones; `text`
// receives it, `layout` the package's layout (where the manifest and its
// signature are).
int WriteManifest(const std::string& argFile, std::string* text,
                  PackageLayout* layout);

}  // namespace signing
}  // namespace pxtool

#endif  // TOOLS_PXTOOL_SIGNING_H_
