#include "package_check.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "arg_grammar.h"
#include "codes.h"
#include "root_only.h"
#include "safe_file.h"
#include "sha256.h"

namespace {

const size_t kBlock = 256 << 10;
// Room for the names of the largest tree a package may hold.
const size_t kManifestLimit = 16 << 20;

int OpenRegular(const std::string& path, int flags, std::string* why) {
  struct stat st;
  int fd = OpenRegularFile(path.c_str(), O_RDONLY | flags, &st);
  if (fd < 0)
    *why = errno == ENOENT   ? "missing"
           : errno == EINVAL ? "not a regular file"
           : errno == ELOOP  ? "a symbolic link"
                             : strerror(errno);
  return fd;
}

// Reads all of `fd`, at most `limit` bytes, and closes it.
bool ReadSmallDescriptor(int fd, size_t limit, std::string* text,
                         std::string* why) {
  int error = ReadWhole(fd, limit, text);
  close(fd);
  if (error == EFBIG)
    *why = "larger than " + std::to_string(limit) + " bytes";
  else if (error != 0)
    *why = strerror(error);
  return error == 0;
}

// Opens the key file `name` of the store `dirFd` and reads it: a regular
// file, not a symbolic link, that only the effective user can write.
bool ReadKeyFile(int dirFd, const std::string& name, std::string* text,
                 std::string* why) {
  int fd = OpenRootsFile(dirFd, name, O_RDONLY, why);
  if (fd < 0) {
    if (why->empty()) *why = strerror(errno);
    return false;
  }
  return ReadSmallDescriptor(fd, kMinisignMaxFile, text, why);
}

}  // namespace

bool ReadSmallFile(const std::string& path, size_t limit, std::string* text,
                   std::string* why) {
  int fd = OpenRegular(path, 0, why);
  return fd >= 0 && ReadSmallDescriptor(fd, limit, text, why);
}

bool HashFile(const std::string& path, std::string* hex, std::string* why) {
  int fd = OpenRegular(path, O_NOFOLLOW, why);
  if (fd < 0) return false;
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kBlock]);
  Sha256 sha;
  ssize_t n;
  while ((n = ReadFully(fd, buffer.get(), kBlock)) > 0)
    sha.Update(buffer.get(), static_cast<size_t>(n));
  if (n < 0) *why = strerror(errno);
  close(fd);
  if (n < 0) return false;
  *hex = sha.FinalHex();
  return true;
}

bool HashPackageFiles(const PackageLayout& layout,
                      std::map<std::string, std::string>* digests,
                      std::string* file, std::string* why) {
  for (const PackageLayout::File& f : layout.files) {
    if (!HashFile(f.path, &(*digests)[f.name], why)) {
      *file = f.name;
      return false;
    }
  }
  return true;
}

bool LoadTrustedKeys(const std::string& directory,
                     std::vector<MinisignPublicKey>* keys, std::string* file,
                     std::string* why) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) return true;
  DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
  *file = directory;
  if (dir == nullptr) {
    *why = strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pub") == 0)
      names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  // Without a key file the policy is off, whatever the directory. With one,
  // the store and each key must be the effective user's (root's) alone:
  // whoever else could write them could make their own key trusted.
  struct stat st;
  if (!names.empty())
    *why = fstat(fd, &st) != 0 ? strerror(errno) : WhyNotRootsAlone(st);
  bool ok = names.empty() || why->empty();
  if (!ok) *why = "the directory is " + *why;
  for (size_t i = 0; ok && i < names.size(); ++i) {
    *file = directory + "/" + names[i];
    std::string text;
    MinisignPublicKey key;
    ok = ReadKeyFile(fd, names[i], &text, why) &&
         ParseMinisignPublicKey(text, &key, why);
    if (ok) keys->push_back(key);
  }
  closedir(dir);
  return ok;
}

bool ListPackage(const char* text, const char* end, bool autonomic,
                 PackageSource* source, std::string* why) {
  source->names.clear();
  source->hasFwPath = FindText(text, end, "FWPATH=") != nullptr;
  if (!source->hasFwPath) return true;
  // The package model's reading, as the run's.
  char* cwd = getcwd(nullptr, 0);
  BasicParams params = ReadBasicParams(text, end, cwd ? cwd : ".", autonomic);
  free(cwd);
  if (params.problem != BasicParamsProblem::kNone) {
    *why = "cannot read FWPATH and the package files (error " +
           std::to_string(params.code) + ")";
    return false;
  }
  source->fwPath = params.fwPath;
  source->names = params.files;
  return true;
}

bool PackageCheck::Open(const PackageLayout& layout,
                        const std::vector<MinisignPublicKey>& keys) {
  std::string signatureText, why;
  if (!ReadSmallFile(layout.SignaturePath(), kMinisignMaxFile, &signatureText,
                     &why))
    return Fail(layout.SignaturePath(), why);
  MinisignSignature signature;
  if (!ParseMinisignSignature(signatureText, &signature, &why))
    return Fail(layout.SignaturePath(), why);
  if (!ReadSmallFile(layout.ManifestPath(), kManifestLimit, &manifest_, &why))
    return Fail(layout.ManifestPath(), why);
  const MinisignPublicKey* signer = nullptr;
  for (const MinisignPublicKey& key : keys)
    if (memcmp(key.keyId, signature.keyId, 8) == 0) signer = &key;
  if (signer == nullptr)
    return Fail(layout.SignaturePath(),
                "signed by key " + MinisignKeyIdText(signature.keyId) +
                    ", which is not trusted");
  if (!VerifyMinisign(*signer, signature, manifest_, &why))
    return Fail(layout.SignaturePath(), why);
  signerKeyId_ = MinisignKeyIdText(signature.keyId);
  trustedComment_ = signature.trustedComment;
  Sha256 sha;
  sha.Update(manifest_.data(), manifest_.size());
  manifestDigest_ = sha.FinalHex();
  return true;
}

bool PackageCheck::MatchNames(const PackageLayout& layout) {
  std::string name, why;
  if (!MatchManifest(manifest_, layout, &digests_, &shippedTaken_, &name, &why))
    return Fail(name, why);
  return true;
}

bool PackageCheck::CompareMarks(const std::string& argName,
                                const std::vector<size_t>& taken,
                                const TakenLines& record) {
  auto now = taken.begin();
  for (size_t line : shippedTaken_) {
    while (now != taken.end() && *now < line) ++now;
    if (now == taken.end() || *now != line)
      return Fail(argName, "line " + std::to_string(line) +
                               ": shipped marked taken, but not marked so now");
  }
  for (size_t line : taken)
    if (!std::binary_search(shippedTaken_.begin(), shippedTaken_.end(), line) &&
        !record.Has(line))
      return Fail(argName, "line " + std::to_string(line) +
                               ": marked taken, but shipped pending and taken "
                               "by no recorded run");
  return true;
}

bool PackageCheck::Compare(const std::string& name, const std::string& digest) {
  auto listed = digests_.find(name);
  if (listed == digests_.end())
    return Fail(name, "not in " + std::string(kManifestName));
  if (listed->second != digest)
    return Fail(name, "differs from " + std::string(kManifestName));
  return true;
}

bool PackageCheck::CompareFilesInPlace(const PackageLayout& layout,
                                       bool leaveListed) {
  for (const PackageLayout::File& file : layout.files) {
    if (leaveListed && file.listed) continue;
    if (layout.resumed && !file.listed && !digests_.count(file.name))
      continue;  // left by the package's commands (see PackageLayout)
    std::string digest, why;
    if (!HashFile(file.path, &digest, &why)) return Fail(file.name, why);
    if (!Compare(file.name, digest)) return false;
  }
  return true;
}
