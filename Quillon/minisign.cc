#include "minisign.h"

#include <sodium.h>

#include <cstring>
#include <vector>

namespace {

const char kUntrusted[] = "untrusted comment: ";
const char kTrusted[] = "trusted comment: ";
const size_t kSecretBlob = 158;  // decoded secret-key line
const size_t kSecretPart = 104;  // key id, secret key, checksum

bool Fail(std::string* why, const char* reason) {
  *why = reason;
  return false;
}

bool SodiumReady() { return sodium_init() >= 0; }

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

// Decodes a base64 line that must yield exactly `size` bytes.
bool DecodeLine(const std::string& line, uint8_t* out, size_t size) {
  size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out, size, line.data(), line.size(), nullptr, &length,
                        &end, sodium_base64_VARIANT_ORIGINAL) != 0)
    return false;
  return length == size && end == line.data() + line.size();
}

std::string EncodeLine(const uint8_t* data, size_t size) {
  std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL),
                   '\0');
  sodium_bin2base64(&text[0], text.size(), data, size,
                    sodium_base64_VARIANT_ORIGINAL);
  text.resize(strlen(text.c_str()));
  return text;
}

uint64_t LoadLe64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

bool ParseMinisignPublicKey(const std::string& text, MinisignPublicKey* key,
                            std::string* why) {
  std::vector<std::string> lines;
  if (!SplitLines(text, 2, &lines, why)) return false;
  if (!StartsWith(lines[0], kUntrusted))
    return Fail(why, "first line is not an untrusted comment");
  uint8_t blob[42];
  if (!DecodeLine(lines[1], blob, sizeof(blob)))
    return Fail(why, "key line is not base64 of 42 bytes");
  if (memcmp(blob, "Ed", 2) != 0) return Fail(why, "not an Ed25519 key");
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
  if (!SodiumReady()) return Fail(why, "libsodium cannot be initialised");
  std::vector<std::string> lines;
  if (!SplitLines(text, 2, &lines, why)) return false;
  if (!StartsWith(lines[0], kUntrusted))
    return Fail(why, "first line is not an untrusted comment");
  uint8_t blob[kSecretBlob];
  if (!DecodeLine(lines[1], blob, sizeof(blob)))
    return Fail(why, "key line is not base64 of 158 bytes");
  if (memcmp(blob, "Ed", 2) != 0) return Fail(why, "not an Ed25519 key");
  if (memcmp(blob + 4, "B2", 2) != 0)
    return Fail(why, "unknown checksum algorithm");
  uint8_t* part = blob + kSecretBlob - kSecretPart;
  bool encrypted = memcmp(blob + 2, "Sc", 2) == 0;
  if (encrypted) {
    uint64_t opslimit = LoadLe64(blob + 38), memlimit = LoadLe64(blob + 46);
    if (memlimit > (uint64_t{1} << 32))
      return Fail(why, "key asks for more than 4 GiB to decrypt");
    uint8_t stream[kSecretPart];
    if (crypto_pwhash_scryptsalsa208sha256(
            stream, sizeof(stream), password.data(), password.size(),
            blob + 6, opslimit, static_cast<size_t>(memlimit)) != 0)
      return Fail(why, "cannot derive the key's password stream");
    for (size_t i = 0; i < kSecretPart; ++i) part[i] ^= stream[i];
    sodium_memzero(stream, sizeof(stream));
  } else if (blob[2] != 0 || blob[3] != 0) {
    return Fail(why, "unknown key derivation");
  }
  uint8_t check[32];
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, sizeof(check));
  crypto_generichash_update(&state, blob, 2);
  crypto_generichash_update(&state, part, 72);
  crypto_generichash_final(&state, check, sizeof(check));
  static const uint8_t kZero[32] = {0};
  bool checksumOk = memcmp(check, part + 72, 32) == 0 ||
                    (!encrypted && memcmp(part + 72, kZero, 32) == 0);
  // The stored public half must be the one the seed gives.
  uint8_t pk[32], sk[64];
  crypto_sign_seed_keypair(pk, sk, part + 8);
  bool pairOk = memcmp(sk, part + 8, 64) == 0;
  sodium_memzero(sk, sizeof(sk));
  if (!checksumOk || !pairOk) {
    sodium_memzero(blob, sizeof(blob));
    return Fail(why, encrypted ? "wrong password or damaged key"
                               : "damaged key (checksum)");
  }
  memcpy(key->keyId, part, 8);
  memcpy(key->key, part + 8, 64);
  sodium_memzero(blob, sizeof(blob));
  return true;
}

bool VerifyMinisign(const MinisignPublicKey& key, const MinisignSignature& sig,
                    const std::string& message, std::string* why) {
  if (!SodiumReady()) return Fail(why, "libsodium cannot be initialised");
  if (memcmp(key.keyId, sig.keyId, 8) != 0)
    return Fail(why, "signed by another key");
  int rc;
  if (sig.prehashed) {
    uint8_t digest[crypto_generichash_BYTES_MAX];
    crypto_generichash(digest, sizeof(digest),
                       reinterpret_cast<const uint8_t*>(message.data()),
                       message.size(), nullptr, 0);
    rc = crypto_sign_verify_detached(sig.signature, digest, sizeof(digest),
                                     key.key);
  } else {
    rc = crypto_sign_verify_detached(
        sig.signature, reinterpret_cast<const uint8_t*>(message.data()),
        message.size(), key.key);
  }
  if (rc != 0) return Fail(why, "signature does not match");
  std::string global(reinterpret_cast<const char*>(sig.signature), 64);
  global += sig.trustedComment;
  if (crypto_sign_verify_detached(
          sig.globalSignature, reinterpret_cast<const uint8_t*>(global.data()),
          global.size(), key.key) != 0)
    return Fail(why, "trusted comment does not match its signature");
  return true;
}

std::string SignMinisign(const MinisignSecretKey& key,
                         const std::string& message,
                         const std::string& trustedComment) {
  if (!SodiumReady()) return std::string();
  uint8_t digest[crypto_generichash_BYTES_MAX];
  crypto_generichash(digest, sizeof(digest),
                     reinterpret_cast<const uint8_t*>(message.data()),
                     message.size(), nullptr, 0);
  uint8_t blob[74];
  memcpy(blob, "ED", 2);
  memcpy(blob + 2, key.keyId, 8);
  crypto_sign_detached(blob + 10, nullptr, digest, sizeof(digest), key.key);
  std::string global(reinterpret_cast<const char*>(blob + 10), 64);
  global += trustedComment;
  uint8_t globalSig[64];
  crypto_sign_detached(globalSig, nullptr,
                       reinterpret_cast<const uint8_t*>(global.data()),
                       global.size(), key.key);
  return "untrusted comment: signature from pxtool secret key " +
         MinisignKeyIdText(key.keyId) + "\n" + EncodeLine(blob, sizeof(blob)) +
         "\ntrusted comment: " + trustedComment + "\n" +
         EncodeLine(globalSig, sizeof(globalSig)) + "\n";
}

std::string MinisignKeyIdText(const uint8_t keyId[8]) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (int i = 7; i >= 0; --i) {
    text += kHex[keyId[i] >> 4];
    text += kHex[keyId[i] & 15];
  }
  return text;
}
