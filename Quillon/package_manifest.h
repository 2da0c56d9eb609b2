// The package manifest: which files a signature covers and their digests.
//
// The manifest is the file SHA256SUMS in the directory of the argument file,
// in the layout sha256sum writes: one line "<64 lowercase hex digits>  NAME"
// with an LF per file, sorted by NAME in byte order. Its names are relative
// to that directory: the argument file by its base name, its digest that of
// its pristine form (arg_file_digest.h); every other file of the package
// (package_tree.h says which) by its path from there, "lib/helper.sh" or
// "../files/check.sh", without "." components, doubled or trailing
// slashes. So "cd <directory> && sha256sum -c --ignore-missing SHA256SUMS"
// checks the package (the argument file's line only until a run marked it).
//
// The marks of the argument file are signed apart from its digest: when
// lines of it were shipped marked taken ("1" in column 1), the manifest
// starts with the line
//   # marks shipped taken: 4 17
// that lists their numbers (1 for the first line), ascending, each once.
// Every other line that carries a mark was shipped pending ("0"). Without
// that line, as in a manifest written before marks were signed, every mark
// was shipped pending. sha256sum passes over lines that begin with "#".
//
// Names sha256sum would escape (holding a backslash, CR or LF) cannot be
// written. When reading, any other line that begins with "#", or a second
// marks line, is malformed. A name is odd when it is empty, escaped, holds a
// backslash or CR, starts with "./" or holds "/./", "//" or a trailing "/",
// is absolute where all the package's names are relative, or is listed
// twice. Any other name that is not the name of a file of the package is a
// file missing from the package.

#ifndef QUILLON_PACKAGE_MANIFEST_H_
#define QUILLON_PACKAGE_MANIFEST_H_

#include <map>
#include <string>
#include <vector>

extern const char kManifestName[];   // "SHA256SUMS"
extern const char kSignatureName[];  // "SHA256SUMS.minisig"
extern const char kShippedMarks[];   // "# marks shipped taken:"

// Where `pxtool reset` keeps the previous content of the argument file
// `argFile`: "<argFile>.bak", beside it.
std::string ResetBackupPath(const std::string& argFile);

struct PackageLayout {
  struct File {
    std::string name;  // in the manifest
    std::string path;  // as the run opens it: "<FWPATH>/<entry>" for one
                       // it lists, else the path the walk took
    // One of the package files the run lists from FWPATH (and stages in
    // a classic run).
    bool listed = false;
  };
  std::string argFile;      // as given, relative to the working directory
  std::string directory;    // the argument file's directory, as a path from
                            // the current directory ("." for none)
  std::string argName;      // its base name
  bool packageIsHere = false;  // the package directory is `directory`
  // A recorded run has taken up a line of the argument file (its record
  // of taken lines holds one, taken_lines.h). Files that the package's own
  // commands left in its trees may then be found beside the signed ones: a file the manifest does not list is passed over, unless
  // it is one of the files the run lists from FWPATH (and would run).
  // Signed files still must match, and none may be missing.
  bool resumed = false;
  std::vector<File> files;  // all but the argument file, sorted by name

  std::string ManifestPath() const { return directory + "/" + kManifestName; }
  std::string SignaturePath() const { return directory + "/" + kSignatureName; }
};

// Whether sha256sum would escape `name` (it holds a backslash, CR or LF):
// such a name cannot be listed.
bool NeedsEscape(const std::string& name);

// The manifest text: the marks line for the argument file's lines
// `shippedTaken` (ascending; none: no marks line), the argument file's line
// with `argDigest`, and one line per file of the layout with its digest
// from `digests` (by name).
std::string FormatManifest(const PackageLayout& layout,
                           const std::string& argDigest,
                           const std::map<std::string, std::string>& digests,
                           const std::vector<size_t>& shippedTaken);

// Reads the manifest `text` and matches its names with the layout. True
// with `digests` holding the listed digest of every expected name (the
// argument file's included) and `shippedTaken` the lines its marks line
// lists (none without one). False with `name` the first name concerned
// (the manifest for a malformed line) and `why` the reason: a malformed
// line, an odd name, a file missing from the package, a file not in the
// manifest.
bool MatchManifest(const std::string& text, const PackageLayout& layout,
                   std::map<std::string, std::string>* digests,
                   std::vector<size_t>* shippedTaken, std::string* name,
                   std::string* why);

// The lines the marks line of the manifest `text` lists (none without a
// well-formed one), read without checking anything else.
std::vector<size_t> ShippedTaken(const std::string& text);

// The names the manifest `text` lists, in its order, however odd; lines too
// short to hold a name, and lines that begin with "#", are passed over.
std::vector<std::string> ListedNames(const std::string& text);

#endif  // QUILLON_PACKAGE_MANIFEST_H_
