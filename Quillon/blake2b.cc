#include "blake2b.h"

#include <openssl/crypto.h>

#include <cstring>

namespace {

const uint64_t kIv[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL,
    0xa54ff53a5f1d36f1ULL, 0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL,
    0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL};

const uint8_t kSigma[12][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3}};

uint64_t Rotr(uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

uint64_t Load64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// Mixes one 128-byte block into `h`; `count` is the number of bytes hashed
// up to the end of this block, `last` marks the final block.
void Compress(uint64_t h[8], const uint8_t block[128], uint64_t count,
              bool last) {
  uint64_t m[16], v[16];
  for (int i = 0; i < 16; ++i) m[i] = Load64(block + 8 * i);
  for (int i = 0; i < 8; ++i) {
    v[i] = h[i];
    v[i + 8] = kIv[i];
  }
  v[12] ^= count;  // inputs here stay far below 2^64 bytes
  if (last) v[14] = ~v[14];
  auto g = [&v](int a, int b, int c, int d, uint64_t x, uint64_t y) {
    v[a] = v[a] + v[b] + x;
    v[d] = Rotr(v[d] ^ v[a], 32);
    v[c] = v[c] + v[d];
    v[b] = Rotr(v[b] ^ v[c], 24);
    v[a] = v[a] + v[b] + y;
    v[d] = Rotr(v[d] ^ v[a], 16);
    v[c] = v[c] + v[d];
    v[b] = Rotr(v[b] ^ v[c], 63);
  };
  for (const uint8_t* s : kSigma) {
    g(0, 4, 8, 12, m[s[0]], m[s[1]]);
    g(1, 5, 9, 13, m[s[2]], m[s[3]]);
    g(2, 6, 10, 14, m[s[4]], m[s[5]]);
    g(3, 7, 11, 15, m[s[6]], m[s[7]]);
    g(0, 5, 10, 15, m[s[8]], m[s[9]]);
    g(1, 6, 11, 12, m[s[10]], m[s[11]]);
    g(2, 7, 8, 13, m[s[12]], m[s[13]]);
    g(3, 4, 9, 14, m[s[14]], m[s[15]]);
  }
  for (int i = 0; i < 8; ++i) h[i] ^= v[i] ^ v[i + 8];
}

}  // namespace

bool Blake2b(uint8_t* out, size_t outSize, const void* data, size_t size) {
  if (outSize == 0 || outSize > 64) return false;
  uint64_t h[8];
  memcpy(h, kIv, sizeof(h));
  h[0] ^= 0x01010000ULL ^ outSize;  // depth 1, fanout 1, no key
  const uint8_t* in = static_cast<const uint8_t*>(data);
  uint64_t count = 0;
  // Every block but the last is compressed as it comes; the last one (at
  // least one, even for empty input) is padded with zeros.
  while (size > 128) {
    count += 128;
    Compress(h, in, count, false);
    in += 128;
    size -= 128;
  }
  uint8_t block[128] = {0};
  if (size > 0) memcpy(block, in, size);
  count += size;
  Compress(h, block, count, true);
  OPENSSL_cleanse(block, sizeof(block));  // may hold secret key bytes
  for (size_t i = 0; i < outSize; ++i)
    out[i] = static_cast<uint8_t>(h[i / 8] >> (8 * (i % 8)));
  return true;
}
