// BLAKE2b (RFC 7693), unkeyed, with any digest length from 1 to 64 bytes.
//
// minisign's secret-key checksum is BLAKE2b with a 32-byte digest, which is
// not the 64-byte digest cut short (the length is part of the parameter
// block). OpenSSL 3.0's libcrypto offers only BLAKE2b-512 without a key, so
// this small portable version serves the checksum; everything on the
// verifying path uses libcrypto's BLAKE2b-512. Holds no state.

#ifndef QUILLON_BLAKE2B_H_
#define QUILLON_BLAKE2B_H_

#include <cstddef>
#include <cstdint>

// Writes the `outSize`-byte digest of `data` to `out`. False when
// `outSize` is 0 or above 64.
bool Blake2b(uint8_t* out, size_t outSize, const void* data, size_t size);

#endif  // QUILLON_BLAKE2B_H_
