// The run's trust policy: nothing of a package runs unless a trusted key
// signed it.
//
// The policy is a directory of minisign public keys ("*.pub"),
// kTrustedKeysDirectory in the shipped program. When it holds no key (or
// does not exist) the policy is off and a run is exactly what it was
// without it. When it holds at least one, a run first checks the package
// (package_check.h): the signature of SHA256SUMS beside the argument file
// by a trusted key, the names in it against every file of the package
// (package_tree.h), the argument file's pristine digest, its marks (each
// as shipped, or taken by a run of the record of taken lines,
// taken_lines.h), and the digest of every other file -- for a package file a classic run stages, while it is
// staged, from the bytes the codec reads to make the copy that will run;
// for every other file (below FWPATH's top, beside the argument file, all
// of them in local and autonomic mode or when the package directory is
// the argument file's own), in place before anything is staged. A
// directory that holds a key file fails closed when it cannot be read,
// when it or a key file can be written by anyone but root (the effective
// user), when a key file is a symbolic link or does not parse: every run
// is then refused, never run as if there were no keys (LoadTrustedKeys).
//
// Every refusal is written to the trace and the run log as
//   ERROR : package signature check: <file>: <reason>
// and the caller ends the run with EXECERROR_HandlerError before any
// command runs. A refused staged copy, and every copy staged before it, is
// removed. Nothing is written by the check itself; it survives any crash
// trivially (a crash part-way through staging leaves copies that the next
// run checks again).

#ifndef QUILLON_PACKAGE_TRUST_H_
#define QUILLON_PACKAGE_TRUST_H_

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "minisign.h"
#include "package_check.h"
#include "package_manifest.h"
#include "px_tool.h"
#include "sha256.h"
#include "staging.h"
#include "taken_lines.h"

extern const char kTrustedKeysDirectory[];

class PackageTrust : public StagingCheck {
 public:
  explicit PackageTrust(std::string keysDirectory);

  // Reads the trusted keys. False (reported) when the policy fails closed.
  bool Load();
  // At least one trusted key: the package must be checked.
  bool Enforced() const { return !keys_.empty(); }

  // Holds each of `paths` (relative to the current directory) to the rule
  // of root_only.h, the `tree` ones with everything below them. Done
  // before CheckPackage, so that what is verified cannot change after.
  // False (reported) when one fails.
  struct UsedPath {
    std::string path;
    bool tree;
  };
  bool CheckRootOnly(const std::vector<UsedPath>& paths);

  // Checks the package of the argument file `argFile` (relative to the
  // current directory), whose whole content is the mapping [text, text +
  // size) and whose package directory `fwPath` holds the `count` entries
  // `names` (fwPath null: the run did not list them; they are listed here
  // as a classic run would). `staging`: the run stages the package files
  // beside the argument file (a classic run); they are then left to the
  // staging step (this object is its StagingCheck) unless the package
  // directory is the argument file's own. Every other file is hashed in
  // place now. `record` receives the package's record of taken lines, to
  // which the run adds every line it takes (arg_file.h). False (reported)
  // when the package is refused.
  bool CheckPackage(const char* argFile, const char* text, size_t size,
                    const char* fwPath, char* const* names,
                    unsigned int count, bool staging, TakenLines* record);
  // After CheckPackage: the signer's key id and the trusted comment of the
  // signature it checked (empty when it checked none).
  const std::string& SignerKeyId() const { return check_.signerKeyId(); }
  const std::string& TrustedComment() const { return check_.trustedComment(); }
  // True when CheckPackage left the package files to the staging step.
  bool ChecksStaging() const { return checksStaging_; }

  PXSourceObserver* Begin(const char* source) override;
  bool End(const char* source) override;

 private:
  class Hasher : public PXSourceObserver {
   public:
    void Bytes(const unsigned char* data, size_t size) override {
      sha.Update(data, size);
    }
    Sha256 sha;
  };
  bool Refuse(const std::string& file, const std::string& why);

  std::string keysDirectory_;
  std::vector<MinisignPublicKey> keys_;
  PackageLayout layout_;
  PackageCheck check_;
  std::map<std::string, std::string> nameOfSource_;
  Hasher hasher_;
  bool checksStaging_ = false;
};

#endif  // QUILLON_PACKAGE_TRUST_H_
