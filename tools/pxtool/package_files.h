// A package as pxtool sees it: a package directory (what Quillon takes as its
// working directory) and an argument file in it, read into memory. Never
// written, never locked: the tools only look.
//
// Naming a package on the command line, "PACKAGE_DIR [ARGUMENT_FILE]" as
// Quillon is started ("<workdir> <argfile>"):
//   - PACKAGE_DIR ARGUMENT_FILE: the argument file relative to the package
//     directory (or absolute), as Quillon's second argument.
//   - PACKAGE_DIR alone: "px.arg" in it (local mode); when there is none, the
//     one "px.arg" in a directory right below it (the classic layout, as in
//     examples/hello with pkg/px.arg). More than one is a usage error.
//   - ARGUMENT_FILE alone (a file, not a directory): the package directory is
//     the argument file's directory (the local-mode layout).

#ifndef TOOLS_PXTOOL_PACKAGE_FILES_H_
#define TOOLS_PXTOOL_PACKAGE_FILES_H_

#include <functional>
#include <string>

namespace pxtool {

struct PackageLocation {
  std::string dir;      // the package directory, as given
  std::string argFile;  // the argument file relative to dir (or absolute)
  // The argument file's path as pxtool opens it (dir/argFile, or argFile
  // when absolute).
  std::string ArgPath() const;
  // The directory of the argument file, as a path pxtool can open: where
  // a classic run's execution directory and status file are.
  std::string ArgDir() const;
};

// Works out the package from one or two command-line arguments (see above).
// `second` may be null. False with `error` naming the path otherwise.
bool LocatePackage(const char* first, const char* second,
                   PackageLocation* where, std::string* error);

// The largest argument file the tools read (argument files are a few
// kilobytes; this bounds what a mistaken path can cost).
const size_t kMaxArgumentFileSize = 64u << 20;

// Reads a file the tools look at into `text`: it must be a regular file (a
// FIFO or device is refused without blocking) of at most `maxSize` bytes.
// A symbolic link is followed only when it stays inside `within` (if given,
// a directory): a link out of the package is refused. False with `error`
// ("<path>: <reason>") otherwise. An empty file is read as empty.
bool ReadPackageFile(const std::string& path, size_t maxSize,
                     const std::string& within, std::string* text,
                     std::string* error);

// The same checks, the file handed to `piece` in pieces of any size (for
// large files read once, such as the run log): mapped read-only, never
// read whole into memory. Only the size the file had when it was opened is
// read: a log that grows meanwhile ends where it was. One cut short by
// another process meanwhile ends the reading with an error ("cut short
// while it was read"); `piece` may then have seen zeros in place of the
// lost bytes. One file at a time: a SIGBUS handler of the process's is
// set while it is read.
bool ReadPackageFileInPieces(
    const std::string& path, size_t maxSize, const std::string& within,
    const std::function<void(const char*, size_t)>& piece, std::string* error);

}  // namespace pxtool

#endif  // TOOLS_PXTOOL_PACKAGE_FILES_H_
