#include "minisign.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "libcrypto_ready.h"

namespace {

const char kUntrusted[] = "untrusted comment: ";
const char kTrusted[] = "trusted comment: ";
const size_t kSecretBlob = 158;  // decoded secret-key line
const size_t kSecretPart = 104;  // key id, secret key, checksum (unused)

bool Fail(std::string* why, const char* reason) {
  *why = reason;
  return false;
}

// Splits `text` into lines; a CR before an LF is dropped. Only `count`
// lines may hold anything; the rest must be empty.
bool SplitLines(const std::string& text, size_t count,
                std::vector<std::string>* lines, std::string* why) {
  if (text.size() > kMinisignMaxFile) return Fail(why, "file too large");
  if (text.find('\0') != std::string::npos)
    return Fail(why, "file holds a zero byte");
  size_t at = 0;
  while (at < text.size()) {
    size_t lf = text.find('\n', at);
    size_t stop = lf == std::string::npos ? text.size() : lf;
    std::string line = text.substr(at, stop - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (lines->size() < count) lines->push_back(line);
    else if (!line.empty()) return Fail(why, "text after the last line");
    at = stop + 1;
  }
  if (lines->size() < count) return Fail(why, "too few lines");
  return true;
}

bool StartsWith(const std::string& line, const char* prefix) {
  return line.compare(0, strlen(prefix), prefix) == 0;
}

// Standard base64 with padding, as minisign writes it.
std::string EncodeLine(const uint8_t* data, size_t size) {
  std::string text(4 * ((size + 2) / 3) + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                               data, static_cast<int>(size));
  text.resize(length < 0 ? 0 : static_cast<size_t>(length));
  return text;
}

// Wipes a buffer that held secrets, however its scope is left.
struct Wipe {
  void* data;
  size_t size;
  ~Wipe() { OPENSSL_cleanse(data, size); }
};

// Decodes a base64 line that must yield exactly `size` bytes (at most 158).
// Only the one canonical text is accepted: padded, no blanks, the unused
// low bits of the last digit zero. EVP_DecodeBlock alone would skip blanks
// and ignore those bits, so the line must equal the re-encoded bytes.
bool DecodeLine(const std::string& line, uint8_t* out, size_t size) {
  const size_t textSize = 4 * ((size + 2) / 3);
  if (line.size() != textSize) return false;
  uint8_t decoded[kSecretBlob + 2];  // 3 bytes per 4 digits, padding included
  Wipe wipe{decoded, sizeof(decoded)};
  if (textSize / 4 * 3 > sizeof(decoded)) return false;
  int length = EVP_DecodeBlock(decoded,
                               reinterpret_cast<const unsigned char*>(line.data()),
                               static_cast<int>(line.size()));
  if (length != static_cast<int>(textSize / 4 * 3) ||
      EncodeLine(decoded, size) != line)
    return false;
  memcpy(out, decoded, size);
  return true;
}

uint64_t LoadLe64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// The scrypt parameters that minisign's scryptsalsa208sha256 derives from a
// key's opslimit and memlimit: r is 8; N the smallest power of two above
// half the largest N the limits allow; p what the opslimit leaves.
void ScryptParameters(uint64_t opslimit, uint64_t memlimit, uint64_t* n,
                      uint64_t* r, uint64_t* p) {
  if (opslimit < 32768) opslimit = 32768;
  *r = 8;
  uint64_t maxN = opslimit < memlimit / 32 ? opslimit / (*r * 4)
                                           : memlimit / (*r * 128);
  int log2 = 1;
  while (log2 < 63 && (uint64_t{1} << log2) <= maxN / 2) ++log2;
  *n = uint64_t{1} << log2;
  if (opslimit < memlimit / 32) {
    *p = 1;
  } else {
    uint64_t maxrp = (opslimit / 4) / *n;
    if (maxrp > 0x3fffffff) maxrp = 0x3fffffff;
    *p = maxrp / *r;
  }
}

// `size` bytes of scrypt(password, salt) with the key's limits.
bool Scrypt(const std::string& password, const uint8_t salt[32],
            uint64_t opslimit, uint64_t memlimit, uint8_t* out, size_t size) {
  uint64_t n, r, p;
  ScryptParameters(opslimit, memlimit, &n, &r, &p);
  // libcrypto refuses to use more than maxmem: its B and V arrays.
  uint64_t maxmem = 128 * r * p + 128 * r * (n + 2);
  return EVP_PBE_scrypt(password.data(), password.size(), salt, 32, n, r, p,
                        maxmem, out, size) == 1;
}

// libcrypto's set-up steps (a context, a key object, a digest over a
// buffer) fail only when it runs out of memory: they raise std::bad_alloc
// here, as a failed allocation of the program's own would.
void Require(bool done) {
  if (!done) throw std::bad_alloc();
}

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Context = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

// An Ed25519 key object for the public `key` or the secret `seed`.
Key Ed25519Key(const uint8_t bytes[32], bool secret) {
  RequireLibcrypto();
  Key key(secret ? EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr,
                                                bytes, 32)
                 : EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                               bytes, 32),
          EVP_PKEY_free);
  Require(key != nullptr);
  return key;
}

Context NewContext() {
  RequireLibcrypto();
  Context ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  Require(ctx != nullptr);
  return ctx;
}

void Blake2b512(const void* data, size_t size, uint8_t digest[64]) {
  RequireLibcrypto();
  unsigned int length = 0;
  Require(EVP_Digest(data, size, digest, &length, EVP_blake2b512(), nullptr) ==
              1 &&
          length == 64);
}

// Whether the y coordinate of `point` (sign bit left out) is 2^255 - 19
// (p) plus an offset: its first byte `low` to `high`, all others 0xff.
bool NearP(const uint8_t point[32], uint8_t low, uint8_t high) {
  if ((point[31] & 0x7f) != 0x7f || point[0] < low || point[0] > high)
    return false;
  for (int i = 1; i < 31; ++i)
    if (point[i] != 0xff) return false;
  return true;
}

// The encodings of the Ed25519 points of small order, the sign bit left
// out: 0, 1 and two points of order 8 here; p - 1, and p and p + 1 (the
// non-canonical encodings of 0 and 1) by NearP.
const uint8_t kSmallOrder[4][32] = {
    {0},
    {1},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4,
     0x89, 0xf2, 0xef, 0x98, 0xf0, 0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6,
     0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b,
     0x76, 0x0d, 0x10, 0x67, 0x0f, 0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39,
     0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a}};

bool HasSmallOrder(const uint8_t point[32]) {
  uint8_t masked[32];
  memcpy(masked, point, 32);
  masked[31] &= 0x7f;
  for (const uint8_t* bad : kSmallOrder)
    if (memcmp(masked, bad, 32) == 0) return true;
  return NearP(point, 0xec, 0xee);
}

// A y coordinate of p or more (sign bit left out).
bool IsNonCanonical(const uint8_t point[32]) { return NearP(point, 0xed, 0xff); }

// Checks an Ed25519 signature over `message`. libcrypto checks that S is
// below the group order and that the key decodes; the checks before it
// refuse what minisign's own verifier refuses too: a key that is not
// canonical, and a key or an R of small order (with a small-order key,
// signatures can be made without any secret).
bool Ed25519Verify(const uint8_t key[32], const uint8_t signature[64],
                   const void* message, size_t size) {
  if (IsNonCanonical(key) || HasSmallOrder(key) || HasSmallOrder(signature))
    return false;
  Key pkey = Ed25519Key(key, false);
  Context ctx = NewContext();
  Require(EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr,
                               pkey.get()) == 1);
  return EVP_DigestVerify(ctx.get(), signature, 64,
                          static_cast<const unsigned char*>(message),
                          size) == 1;
}

bool Ed25519Sign(const uint8_t seed[32], const void* message, size_t size,
                 uint8_t signature[64]) {
  Key pkey = Ed25519Key(seed, true);
  Context ctx = NewContext();
  Require(EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr,
                             pkey.get()) == 1);
  size_t length = 64;
  return EVP_DigestSign(ctx.get(), signature, &length,
                        static_cast<const unsigned char*>(message), size) ==
             1 &&
         length == 64;
}

// The public key that `seed` gives.
void Ed25519PublicKey(const uint8_t seed[32], uint8_t key[32]) {
  Key pkey = Ed25519Key(seed, true);
  size_t length = 32;
  Require(EVP_PKEY_get_raw_public_key(pkey.get(), key, &length) == 1 &&
          length == 32);
}

// The two lines of a key file: an untrusted comment, then the key line,
// base64 of `size` bytes that begin with "Ed", decoded into `blob`.
bool ReadKeyFile(const std::string& text, uint8_t* blob, size_t size,
                 std::string* why) {
  std::vector<std::string> lines;
  if (!SplitLines(text, 2, &lines, why)) return false;
  if (!StartsWith(lines[0], kUntrusted))
    return Fail(why, "first line is not an untrusted comment");
  if (!DecodeLine(lines[1], blob, size)) {
    *why = "key line is not base64 of " + std::to_string(size) + " bytes";
    return false;
  }
  if (memcmp(blob, "Ed", 2) != 0) return Fail(why, "not an Ed25519 key");
  return true;
}

}  // namespace

bool ParseMinisignPublicKey(const std::string& text, MinisignPublicKey* key,
                            std::string* why) {
  uint8_t blob[42];
  if (!ReadKeyFile(text, blob, sizeof(blob), why)) return false;
  memcpy(key->keyId, blob + 2, 8);
  memcpy(key->key, blob + 10, 32);
  return true;
}

bool ParseMinisignSignature(const std::string& text, MinisignSignature* sig,
                            std::string* why) {
  std::vector<std::string> lines;
  if (!SplitLines(text, 4, &lines, why)) return false;
  if (!StartsWith(lines[0], kUntrusted))
    return Fail(why, "first line is not an untrusted comment");
  uint8_t blob[74];
  if (!DecodeLine(lines[1], blob, sizeof(blob)))
    return Fail(why, "signature line is not base64 of 74 bytes");
  if (memcmp(blob, "ED", 2) == 0) sig->prehashed = true;
  else if (memcmp(blob, "Ed", 2) == 0) sig->prehashed = false;
  else return Fail(why, "unknown signature algorithm");
  if (!StartsWith(lines[2], kTrusted))
    return Fail(why, "third line is not a trusted comment");
  if (!DecodeLine(lines[3], sig->globalSignature, 64))
    return Fail(why, "global signature line is not base64 of 64 bytes");
  memcpy(sig->keyId, blob + 2, 8);
  memcpy(sig->signature, blob + 10, 64);
  sig->trustedComment = lines[2].substr(strlen(kTrusted));
  return true;
}

bool MinisignSecretKeyIsEncrypted(const std::string& text) {
  std::vector<std::string> lines;
  std::string why;
  uint8_t blob[kSecretBlob];
  return SplitLines(text, 2, &lines, &why) &&
         DecodeLine(lines[1], blob, sizeof(blob)) &&
         memcmp(blob + 2, "Sc", 2) == 0;
}

bool ParseMinisignSecretKey(const std::string& text,
                            const std::string& password,
                            MinisignSecretKey* key, std::string* why) {
  uint8_t blob[kSecretBlob];
  Wipe wipeBlob{blob, sizeof(blob)};
  if (!ReadKeyFile(text, blob, sizeof(blob), why)) return false;
  if (memcmp(blob + 4, "B2", 2) != 0)
    return Fail(why, "unknown checksum algorithm");
  uint8_t* part = blob + kSecretBlob - kSecretPart;
  bool encrypted = memcmp(blob + 2, "Sc", 2) == 0;
  if (encrypted) {
    uint64_t opslimit = LoadLe64(blob + 38), memlimit = LoadLe64(blob + 46);
    if (memlimit > (uint64_t{1} << 32))
      return Fail(why, "key asks for more than 4 GiB to decrypt");
    uint8_t stream[kSecretPart];
    Wipe wipeStream{stream, sizeof(stream)};
    if (!Scrypt(password, blob + 6, opslimit, memlimit, stream,
                sizeof(stream)))
      return Fail(why, "cannot derive the key's password stream");
    for (size_t i = 0; i < kSecretPart; ++i) part[i] ^= stream[i];
  } else if (blob[2] != 0 || blob[3] != 0) {
    return Fail(why, "unknown key derivation");
  }
  // minisign's checksum (BLAKE2b-256) is not checked: OpenSSL 3.0 has no
  // unkeyed 32-byte BLAKE2b. A wrong password or a damaged key shows
  // instead in the public half, which must be the one the seed gives.
  uint8_t pk[32];
  Wipe wipePk{pk, sizeof(pk)};
  Ed25519PublicKey(part + 8, pk);
  if (CRYPTO_memcmp(pk, part + 40, 32) != 0)
    return Fail(why, encrypted ? "wrong password or damaged key"
                               : "damaged key (public key does not match)");
  memcpy(key->keyId, part, 8);
  memcpy(key->key, part + 8, 64);
  return true;
}

bool VerifyMinisign(const MinisignPublicKey& key, const MinisignSignature& sig,
                    const std::string& message, std::string* why) {
  if (memcmp(key.keyId, sig.keyId, 8) != 0)
    return Fail(why, "signed by another key");
  bool ok;
  if (sig.prehashed) {
    uint8_t digest[64];
    Blake2b512(message.data(), message.size(), digest);
    ok = Ed25519Verify(key.key, sig.signature, digest, sizeof(digest));
  } else {
    ok = Ed25519Verify(key.key, sig.signature, message.data(), message.size());
  }
  if (!ok) return Fail(why, "signature does not match");
  std::string global(reinterpret_cast<const char*>(sig.signature), 64);
  global += sig.trustedComment;
  if (!Ed25519Verify(key.key, sig.globalSignature, global.data(),
                     global.size()))
    return Fail(why, "trusted comment does not match its signature");
  return true;
}

std::string SignMinisign(const MinisignSecretKey& key,
                         const std::string& message,
                         const std::string& trustedComment) {
  uint8_t digest[64];
  uint8_t blob[74];
  memcpy(blob, "ED", 2);
  memcpy(blob + 2, key.keyId, 8);
  Blake2b512(message.data(), message.size(), digest);
  if (!Ed25519Sign(key.key, digest, sizeof(digest), blob + 10))
    return std::string();
  std::string global(reinterpret_cast<const char*>(blob + 10), 64);
  global += trustedComment;
  uint8_t globalSig[64];
  if (!Ed25519Sign(key.key, global.data(), global.size(), globalSig))
    return std::string();
  return "untrusted comment: signature from pxtool secret key " +
         MinisignKeyIdText(key.keyId) + "\n" + EncodeLine(blob, sizeof(blob)) +
         "\ntrusted comment: " + trustedComment + "\n" +
         EncodeLine(globalSig, sizeof(globalSig)) + "\n";
}

std::string MinisignKeyIdText(const uint8_t keyId[8]) {
  char text[17];
  for (int i = 0; i < 8; ++i) snprintf(text + 2 * i, 3, "%02X", keyId[7 - i]);
  return text;
}
