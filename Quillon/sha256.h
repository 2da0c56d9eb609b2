// SHA-256 over a stream of bytes, for the package manifest.
//
// The digest comes from OpenSSL's libcrypto, whose SHA-256 uses the
// processor's SHA instructions where they exist: hashing a package while it
// is staged must cost no more than sha256sum reading it (see
// docs/design.md). Nothing here is stored; an object is one digest.
//
// An object touches libcrypto only once it is given bytes or asked for its
// digest, so that one that is never used (a run without trusted keys)
// allocates nothing. Out of memory, in libcrypto too, raises
// std::bad_alloc; the object can then be used again from the start.

#ifndef QUILLON_SHA256_H_
#define QUILLON_SHA256_H_

#include <cstddef>
#include <string>

class Sha256 {
 public:
  static constexpr size_t kSize = 32;

  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, size_t size);
  // The digest of everything given so far, as 64 lowercase hex digits. The
  // object starts afresh afterwards.
  std::string FinalHex();

 private:
  // Makes the context (once) and starts a digest in it.
  void Start();

  void* ctx_;             // EVP_MD_CTX, null until first used
  bool started_ = false;  // a digest is under way in ctx_
};

#endif  // QUILLON_SHA256_H_
