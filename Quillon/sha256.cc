#include "sha256.h"

#include <openssl/evp.h>

#include <cstdlib>

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr || EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_),
                                           EVP_sha256(), nullptr) != 1)
    abort();  // only out of memory gets here
}

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }

void Sha256::Update(const void* data, size_t size) {
  if (size > 0) EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), data, size);
}

std::string Sha256::FinalHex() {
  unsigned char digest[kSize];
  unsigned int length = 0;
  EVP_MD_CTX* ctx = static_cast<EVP_MD_CTX*>(ctx_);
  EVP_DigestFinal_ex(ctx, digest, &length);
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex(2 * kSize, '0');
  for (size_t i = 0; i < kSize; ++i) {
    hex[2 * i] = kHex[digest[i] >> 4];
    hex[2 * i + 1] = kHex[digest[i] & 15];
  }
  return hex;
}
