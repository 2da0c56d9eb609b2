// Fuzzes the minisign file parsers: the input is read as a public key, a
// signature and a secret key (unencrypted ones only: decrypting runs scrypt
// with the limits the input names, far too slow per input). Checked: a parsed signature verifies against no key but its
// own id (a foreign id is refused before any cryptography), a parsed
// public key verifies a parsed signature only when the ids match, and a
// parsed secret key signs a message that verifies with its public half.

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "minisign.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string why;
  MinisignPublicKey key;
  MinisignSignature sig;
  MinisignSecretKey secret;
  bool haveKey = ParseMinisignPublicKey(text, &key, &why);
  FUZZ_CHECK(haveKey || !why.empty());
  if (ParseMinisignSignature(text, &sig, &why)) {
    FUZZ_CHECK(sig.trustedComment.find('\n') == std::string::npos);
    MinisignPublicKey other;
    memset(&other, 0, sizeof(other));
    memcpy(other.keyId, sig.keyId, 8);
    other.keyId[0] ^= 1;
    FUZZ_CHECK(!VerifyMinisign(other, sig, "message", &why));
    FUZZ_CHECK(why == "signed by another key");
  }
  bool encrypted = MinisignSecretKeyIsEncrypted(text);
  if (!encrypted && ParseMinisignSecretKey(text, "", &secret, &why)) {
    std::string signature = SignMinisign(secret, text, "fuzz");
    FUZZ_CHECK(ParseMinisignSignature(signature, &sig, &why));
    MinisignPublicKey own;
    memcpy(own.keyId, secret.keyId, 8);
    memcpy(own.key, secret.key + 32, 32);
    FUZZ_CHECK(VerifyMinisign(own, sig, text, &why));
    FUZZ_CHECK(!VerifyMinisign(own, sig, text + "x", &why));
  }
  return 0;
}
