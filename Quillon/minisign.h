// Keys and signatures in the file formats of the minisign tool (Ed25519),
// so that packages can be signed and checked with the stock tool as well as
// with pxtool. The cryptography is OpenSSL's libcrypto (Ed25519, BLAKE2b-512,
// scrypt, base64). Verification is as strict as minisign's own: a public key
// that is not canonical or of small order, or a signature whose R is of
// small order, never verifies.
//
// Public key file:   "untrusted comment: <text>\n"
//                    base64("Ed" + key id (8) + Ed25519 public key (32)) "\n"
// Signature file:    "untrusted comment: <text>\n"
//                    base64(algorithm (2) + key id (8) + signature (64)) "\n"
//                    "trusted comment: <text>\n"
//                    base64(global signature (64)) "\n"
//   algorithm "Ed": the signature is over the message itself; "ED": over
//   its BLAKE2b-512 digest (what minisign 0.11 writes). The global signature
//   is over the signature (64) followed by the trusted comment's text, so
//   the trusted comment cannot be changed either.
// Secret key file:   "untrusted comment: <text>\n"
//                    base64("Ed" + KDF "Sc" or two zero bytes + "B2" +
//                           salt (32) + opslimit (8, LE) + memlimit (8, LE) +
//                           [key id (8) + secret key (64) + checksum (32)])
//   the bracketed part is XORed with scrypt(password, salt, opslimit,
//   memlimit) when the KDF is "Sc"; the checksum is BLAKE2b-256 of "Ed",
//   the key id and the secret key. It is not checked (libcrypto offers no
//   32-byte BLAKE2b); the public half of the secret key must instead be the
//   one its seed gives, which a wrong password or damage breaks.
//
// Parsers take the whole file text, accept lines ended by LF or CR LF, and
// return false with a reason (no file name: the caller adds it). They never
// read past the text they are given.
//
// Out of memory, in libcrypto's set-up of a key, a context or a digest
// too, raises std::bad_alloc from every function here; it is never taken
// for a bad key or signature.

#ifndef QUILLON_MINISIGN_H_
#define QUILLON_MINISIGN_H_

#include <cstdint>
#include <string>

struct MinisignPublicKey {
  uint8_t keyId[8];
  uint8_t key[32];
};

struct MinisignSignature {
  bool prehashed = true;  // "ED"
  uint8_t keyId[8];
  uint8_t signature[64];
  std::string trustedComment;  // without "trusted comment: "
  uint8_t globalSignature[64];
};

struct MinisignSecretKey {
  uint8_t keyId[8];
  uint8_t key[64];  // Ed25519 seed (32) and public key (32), as stored
};

// Largest key or signature file accepted.
const size_t kMinisignMaxFile = 16384;

bool ParseMinisignPublicKey(const std::string& text, MinisignPublicKey* key,
                            std::string* why);
bool ParseMinisignSignature(const std::string& text, MinisignSignature* sig,
                            std::string* why);
// `password` is used only for an encrypted key; a wrong one gives a public
// half that does not match the seed ("wrong password or damaged key"). The
// key id is not covered by that check.
bool ParseMinisignSecretKey(const std::string& text,
                            const std::string& password,
                            MinisignSecretKey* key, std::string* why);
// True when `text` holds a secret key that needs a password.
bool MinisignSecretKeyIsEncrypted(const std::string& text);

// Checks `sig` over `message` with `key`: key ids equal, the signature and
// the global signature valid. False with a reason.
bool VerifyMinisign(const MinisignPublicKey& key, const MinisignSignature& sig,
                    const std::string& message, std::string* why);

// A prehashed signature file over `message`, with `trustedComment` (which
// must hold no line end).
std::string SignMinisign(const MinisignSecretKey& key,
                         const std::string& message,
                         const std::string& trustedComment);

// The key id as minisign prints it (16 upper-case hex digits, the bytes in
// reverse order).
std::string MinisignKeyIdText(const uint8_t keyId[8]);

#endif  // QUILLON_MINISIGN_H_
