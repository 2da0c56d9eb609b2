#include "libcrypto_ready.h"

#include <openssl/crypto.h>

#include <new>

void RequireLibcrypto() {
  // The default context is set up once; after a failure it stays null.
  if (OPENSSL_init_crypto(0, nullptr) != 1 ||
      OSSL_LIB_CTX_get0_global_default() == nullptr)
    throw std::bad_alloc();
}
