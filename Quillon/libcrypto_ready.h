// libcrypto (OpenSSL) sets itself up on first use: its configuration, its
// default library context and the locks guarding them. A failed allocation
// in that set-up is not reported by the call that made it, and leaves the
// default context without its lock: the next call that fetches an
// algorithm then crashes (OpenSSL 3.0). So every use of libcrypto here
// first asks RequireLibcrypto, which makes the set-up happen and checks
// that it succeeded.

#ifndef QUILLON_LIBCRYPTO_READY_H_
#define QUILLON_LIBCRYPTO_READY_H_

// Raises std::bad_alloc unless libcrypto's set-up has succeeded. Once it
// has failed it stays failed: every later call raises too.
void RequireLibcrypto();

#endif  // QUILLON_LIBCRYPTO_READY_H_
