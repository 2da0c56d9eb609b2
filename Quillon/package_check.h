// Checking a package against its signed manifest (package_manifest.h):
// the trusted keys, the signature, the names, the digests. Shared by the
// run's trust policy (package_trust.h) and by pxtool.
//
// Nothing here writes a file. Every failure comes with the file it concerns
// and a reason, for a message "<file>: <reason>".

#ifndef QUILLON_PACKAGE_CHECK_H_
#define QUILLON_PACKAGE_CHECK_H_

#include <map>
#include <string>
#include <vector>

#include "minisign.h"
#include "package_manifest.h"
#include "package_tree.h"
#include "taken_lines.h"

// Reads every file ending in ".pub" in `directory` as a minisign public key,
// in name order. A missing directory, or one without such a file, holds no
// keys (true, none added), whatever its owner and mode. Otherwise the
// directory and every key file must belong to the effective user (root)
// and be writable by nobody else, and no key may be a symbolic link. False
// when the directory cannot be read, fails that check, or a key file fails
// it or does not parse, with `file` naming the one concerned.
bool LoadTrustedKeys(const std::string& directory,
                     std::vector<MinisignPublicKey>* keys, std::string* file,
                     std::string* why);

// Reads a small file (a key, a signature, a manifest) whole, at most
// `limit` bytes. False with a reason.
bool ReadSmallFile(const std::string& path, size_t limit, std::string* text,
                   std::string* why);

// The SHA-256 of a regular file, read in blocks; a symbolic link is not
// followed but refused. False with a reason.
bool HashFile(const std::string& path, std::string* hex, std::string* why);

// The digest of every file of the layout but the argument file, by name.
// False with `file` (its name) and `why`.
bool HashPackageFiles(const PackageLayout& layout,
                      std::map<std::string, std::string>* digests,
                      std::string* file, std::string* why);

// Fills FWPATH and the entries the run lists there into `source`, from
// the argument file text [text, end) read as a run reads it (ReadBasicParams
// with the current directory as the working directory; `autonomic` as the
// run's mode). A text without
// "FWPATH=" has no package directory. False with a reason when the listing
// fails.
bool ListPackage(const char* text, const char* end, bool autonomic,
                 PackageSource* source,
                 std::string* why);

// One package's manifest, once its signature has been checked.
class PackageCheck {
 public:
  // Reads the manifest and its signature beside the argument file and
  // checks the signature with the key of the same id among `keys`. False
  // with file() and why() set.
  bool Open(const PackageLayout& layout,
            const std::vector<MinisignPublicKey>& keys);
  // The SHA-256 of the manifest Open checked: the key of its record of
  // taken lines (taken_lines.h).
  const std::string& manifestDigest() const { return manifestDigest_; }
  // The key that made the signature Open checked (as minisign prints its
  // id) and the signature's trusted comment; empty before.
  const std::string& signerKeyId() const { return signerKeyId_; }
  const std::string& trustedComment() const { return trustedComment_; }
  // Matches the manifest's names with the layout (whose `resumed` says
  // whether a recorded run took a line). False with file() and why() set.
  bool MatchNames(const PackageLayout& layout);
  // Holds the marks of the argument file `argName` to the manifest:
  // `taken`, the lines marked taken now (ascending), must hold every line
  // the manifest ships taken, and any other only when `record` says a run
  // took it. False with file() `argName` and why() naming the first line
  // that fails ("line N: ...").
  bool CompareMarks(const std::string& argName,
                    const std::vector<size_t>& taken,
                    const TakenLines& record);
  // Compares a digest with the manifest's for `name` (the argument file's
  // base name or a package file's manifest name). False with file() (the
  // name) and why() set.
  bool Compare(const std::string& name, const std::string& digest);
  // Hashes every file of the layout in place and compares it; with
  // `leaveListed`, all but the ones the run lists from FWPATH (which
  // staging hashes).
  bool CompareFilesInPlace(const PackageLayout& layout, bool leaveListed);

  const std::string& file() const { return file_; }
  const std::string& why() const { return why_; }

 private:
  bool Fail(const std::string& file, const std::string& why) {
    file_ = file;
    why_ = why;
    return false;
  }
  std::string manifest_, manifestDigest_, signerKeyId_, trustedComment_;
  std::map<std::string, std::string> digests_;
  std::vector<size_t> shippedTaken_;
  std::string file_, why_;
};

#endif  // QUILLON_PACKAGE_CHECK_H_
