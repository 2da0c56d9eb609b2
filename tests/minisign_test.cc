// The cryptographic edges of the minisign code: the secret key's check, the
// strict base64 of key and signature lines, and signatures that libcrypto's
// Ed25519 alone would accept but minisign refuses.

#include "minisign.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>

namespace quillon_test {
namespace {

class MinisignTest : public testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 32; ++i) secret_.key[i] = static_cast<uint8_t>(i);
    EVP_PKEY* pkey = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, secret_.key, 32);
    size_t size = 32;
    ASSERT_EQ(1, EVP_PKEY_get_raw_public_key(pkey, secret_.key + 32, &size));
    EVP_PKEY_free(pkey);
    memcpy(secret_.keyId, "keyid-01", 8);
    memcpy(public_.keyId, secret_.keyId, 8);
    memcpy(public_.key, secret_.key + 32, 32);
  }
  // An unencrypted secret key file holding `part` (key id, key, checksum).
  static std::string SecretKeyText(const std::string& part) {
    std::string blob = std::string("Ed\0\0B2", 6) + std::string(48, '\0') + part;
    std::string line(4 * ((blob.size() + 2) / 3) + 1, '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&line[0]),
                    reinterpret_cast<const unsigned char*>(blob.data()), static_cast<int>(blob.size()));
    return "untrusted comment: k\n" + std::string(line.c_str()) + "\n";
  }
  MinisignSecretKey secret_;
  MinisignPublicKey public_;
};

// The stored checksum is not checked; the public half must match the seed.
TEST_F(MinisignTest, SecretKeyPublicHalfMustMatchItsSeed) {
  std::string part = std::string(reinterpret_cast<const char*>(secret_.keyId), 8) +
                     std::string(reinterpret_cast<const char*>(secret_.key), 64) +
                     std::string(32, '\x5a');
  MinisignSecretKey parsed;
  std::string why;
  ASSERT_TRUE(ParseMinisignSecretKey(SecretKeyText(part), "", &parsed, &why)) << why;
  EXPECT_EQ(0, memcmp(&parsed, &secret_, sizeof(parsed)));
  for (size_t at : {39u, 40u}) {  // last byte of the seed, first of the public half
    std::string damaged = part;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
    EXPECT_FALSE(ParseMinisignSecretKey(SecretKeyText(damaged), "", &parsed, &why)) << at;
    EXPECT_EQ("damaged key (public key does not match)", why);
  }
}

TEST_F(MinisignTest, OnlyCanonicalBase64IsAccepted) {
  std::string text = SignMinisign(secret_, "message", "comment");
  MinisignSignature sig;
  std::string why;
  ASSERT_TRUE(ParseMinisignSignature(text, &sig, &why)) << why;
  EXPECT_TRUE(VerifyMinisign(public_, sig, "message", &why)) << why;
  // The signature line: 74 bytes, 100 digits ending in one '='.
  size_t start = text.find('\n') + 1, end = text.find('\n', start);
  std::string line = text.substr(start, end - start);
  ASSERT_EQ(100u, line.size());
  ASSERT_EQ('=', line.back());
  auto withLine = [&](const std::string& other) {
    return text.substr(0, start) + other + text.substr(end);
  };
  // The last digit before '=' carries 4 bits of the signature and 2 unused.
  static const std::string kDigits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string lowBit = line;
  lowBit[98] = kDigits[kDigits.find(line[98]) ^ 1];
  for (const std::string& bad : {lowBit, line.substr(0, 99) + "==", line.substr(0, 50) + "\t" + line.substr(51)}) {
    EXPECT_FALSE(ParseMinisignSignature(withLine(bad), &sig, &why)) << bad;
    EXPECT_EQ("signature line is not base64 of 74 bytes", why);
  }
}

// With a key of small order, one signature verifies every message.
TEST_F(MinisignTest, SmallOrderKeysAndPointsNeverVerify) {
  MinisignSignature forged;
  memcpy(forged.keyId, public_.keyId, 8);
  memset(forged.signature, 0, 64);
  forged.signature[0] = 1;  // R = the neutral point, S = 0
  memcpy(forged.globalSignature, forged.signature, 64);
  forged.trustedComment = "";
  MinisignPublicKey neutral = public_;
  memset(neutral.key, 0, 32);
  neutral.key[0] = 1;
  std::string why;
  EXPECT_FALSE(VerifyMinisign(neutral, forged, "any message", &why));
  EXPECT_EQ("signature does not match", why);
  // A genuine key with an R of small order is refused as well.
  EXPECT_FALSE(VerifyMinisign(public_, forged, "any message", &why));
}

}  // namespace
}  // namespace quillon_test
