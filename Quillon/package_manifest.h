// The package manifest: which files a signature covers and their digests.
//
// The manifest is the file SHA256SUMS in the directory of the argument file,
// in the layout sha256sum writes: one line "<64 lowercase hex digits>  NAME"
// with an LF per file, sorted by NAME in byte order. Its names are relative
// to that directory:
//  - the argument file: its base name; its digest is that of its pristine
//    form (arg_file_digest.h);
//  - each package file (the files the run lists from FWPATH): the path from
//    the manifest's directory to it, "../files/check.sh" say, built
//    lexically from FWPATH without "." components, doubled or trailing
//    slashes; an absolute FWPATH gives absolute names. When the package
//    directory is the manifest's directory itself, a package file is named
//    by its bare name, and the argument file, the manifest, its signature,
//    the run's own files there (Quillon.log, HandlerStatus.txt and its
//    temporary) and pxtool reset's backup of the argument file are not
//    package files.
// So "cd <directory> && sha256sum -c --ignore-missing SHA256SUMS" checks
// the package files (the argument file's line only until a run marked it).
//
// Names sha256sum would escape (holding a backslash, CR or LF) cannot be
// written. When reading, a name is odd when it is empty, escaped, holds a
// backslash or CR, starts with "./" or holds "/./", "//" or a trailing "/",
// is absolute where the package's names are relative, or is listed twice.
// Any other name that is not the expected name of a file of the package is
// a file missing from the package.

#ifndef QUILLON_PACKAGE_MANIFEST_H_
#define QUILLON_PACKAGE_MANIFEST_H_

#include <map>
#include <string>
#include <vector>

extern const char kManifestName[];   // "SHA256SUMS"
extern const char kSignatureName[];  // "SHA256SUMS.minisig"

// Where `pxtool reset` keeps the previous content of the argument file
// `argFile`: "<argFile>.bak", beside it.
std::string ResetBackupPath(const std::string& argFile);

struct PackageLayout {
  struct File {
    std::string name;  // in the manifest
    std::string path;  // as the run opens it: "<FWPATH>/<entry>"
  };
  std::string argFile;      // as given, relative to the working directory
  std::string directory;    // the argument file's directory ("." for none)
  std::string argName;      // its base name
  bool packageIsHere = false;  // the package directory is `directory`
  std::vector<File> files;  // sorted by name

  std::string ManifestPath() const { return directory + "/" + kManifestName; }
  std::string SignaturePath() const { return directory + "/" + kSignatureName; }
};

// Builds the layout of the argument file `argFile` whose package directory
// is `fwPath` (null: none) holding the `count` entries `names` (as the run
// listed them). Paths are relative to the current directory, the package's
// working directory. False with a reason naming the file concerned: a name
// that cannot be written, an argument-file path with "..", two entries of
// the same manifest name.
bool DescribePackage(const std::string& argFile, const char* fwPath,
                     char* const* names, unsigned int count,
                     PackageLayout* layout, std::string* why);

// The manifest text: the argument file's line with `argDigest`, and one
// line per package file with its digest from `digests` (by name).
std::string FormatManifest(const PackageLayout& layout,
                           const std::string& argDigest,
                           const std::map<std::string, std::string>& digests);

// Reads the manifest `text` and matches its names with the layout. True
// with `digests` holding the listed digest of every expected name (the
// argument file's included). False with `name` the first name concerned (a
// line number for a malformed line) and `why` the reason: a malformed line,
// an odd name, a file missing from the package, a file not in the manifest.
bool MatchManifest(const std::string& text, const PackageLayout& layout,
                   std::map<std::string, std::string>* digests,
                   std::string* name, std::string* why);

#endif  // QUILLON_PACKAGE_MANIFEST_H_
