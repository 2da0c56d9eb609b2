#include "sha256.h"

#include <openssl/evp.h>

#include <cstdio>
#include <new>

#include "libcrypto_ready.h"

namespace {

EVP_MD_CTX* Context(void* ctx) { return static_cast<EVP_MD_CTX*>(ctx); }

}  // namespace

Sha256::Sha256() : ctx_(nullptr) {}

Sha256::~Sha256() { EVP_MD_CTX_free(Context(ctx_)); }

void Sha256::Start() {
  RequireLibcrypto();
  if (ctx_ == nullptr) ctx_ = EVP_MD_CTX_new();
  // libcrypto fails these only when it runs out of memory.
  if (ctx_ == nullptr ||
      EVP_DigestInit_ex(Context(ctx_), EVP_sha256(), nullptr) != 1)
    throw std::bad_alloc();
  started_ = true;
}

void Sha256::Update(const void* data, size_t size) {
  if (!started_) Start();
  if (size > 0 && EVP_DigestUpdate(Context(ctx_), data, size) != 1) {
    started_ = false;
    throw std::bad_alloc();
  }
}

std::string Sha256::FinalHex() {
  if (!started_) Start();
  unsigned char digest[kSize];
  unsigned int length = 0;
  started_ = false;
  if (EVP_DigestFinal_ex(Context(ctx_), digest, &length) != 1 ||
      length != kSize)
    throw std::bad_alloc();
  char hex[2 * kSize + 1];
  for (size_t i = 0; i < kSize; ++i)
    snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}
