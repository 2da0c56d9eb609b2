// The cryptographic edges of the minisign code: the portable BLAKE2b, the
// strict base64 of key and signature lines, and signatures that libcrypto's
// Ed25519 alone would accept but minisign refuses.

#include "minisign.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>

#include "blake2b.h"

namespace quillon_test {
namespace {

std::string Hex(const uint8_t* bytes, size_t size) {
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < size; ++i) hex += std::string{kHex[bytes[i] >> 4], kHex[bytes[i] & 15]};
  return hex;
}

TEST(Blake2bTest, KnownDigestsAndLibcryptoAgree) {
  uint8_t out[64];
  ASSERT_TRUE(Blake2b(out, 32, "abc", 3));
  EXPECT_EQ("bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319", Hex(out, 32));
  ASSERT_TRUE(Blake2b(out, 64, "abc", 3));
  EXPECT_EQ("ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
            "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923",
            Hex(out, 64));
  // Every length around the block boundaries, against BLAKE2b-512.
  std::string data;
  for (int i = 0; i < 300; ++i) data += static_cast<char>(i * 7);
  for (size_t size = 0; size <= data.size(); ++size) {
    uint8_t expected[64];
    unsigned int length = 0;
    ASSERT_EQ(1, EVP_Digest(data.data(), size, expected, &length, EVP_blake2b512(), nullptr));
    ASSERT_TRUE(Blake2b(out, 64, data.data(), size));
    ASSERT_EQ(0, memcmp(out, expected, 64)) << size;
  }
  EXPECT_FALSE(Blake2b(out, 0, "abc", 3));
  EXPECT_FALSE(Blake2b(out, 65, "abc", 3));
}

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
  MinisignSecretKey secret_;
  MinisignPublicKey public_;
};

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
  for (const std::string& bad : {lowBit, line.substr(0, 99), line.substr(0, 99) + "==",
                                 " " + line.substr(1), line.substr(0, 50) + "\t" + line.substr(51)}) {
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
  neutral.key[31] = 0x80;  // the same point with the sign bit set
  EXPECT_FALSE(VerifyMinisign(neutral, forged, "any message", &why));
  // A genuine key with an R of small order is refused as well.
  EXPECT_FALSE(VerifyMinisign(public_, forged, "any message", &why));
}

}  // namespace
}  // namespace quillon_test
