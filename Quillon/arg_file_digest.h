// The digest of an argument file in its pristine form: the form it had
// before any run marked it.
//
// A run writes into its argument file (see arg_file.h): "1" into the first
// column of a pending line, and the return code into columns 3 to 5. The
// pristine form undoes both without knowing what was there: every line
// whose first character is '0' or '1' and which has at least six characters
// before its line end (the character before the LF does not count, as the
// run reads lines) is hashed as if its first character were '0' and its
// columns 3 to 5 were "000". A line starts at the beginning of the file or
// after an LF; the end of the file ends a last line as an LF would (the run
// never marks such a line, so this only spares holding it back). Every
// other byte is hashed unchanged, zero bytes included.
//
// So a run's own marks never change the digest, while any other change (a
// command, a flag, a value, a line added) does. The marks are covered
// apart: the manifest lists the lines shipped marked taken
// (package_manifest.h), and a run accepts no other taken line unless a run
// of its own took it (taken_lines.h).
//
// The text is given in pieces of any size, in order; memory does not grow
// with the file.

#ifndef QUILLON_ARG_FILE_DIGEST_H_
#define QUILLON_ARG_FILE_DIGEST_H_

#include <cstddef>
#include <string>
#include <vector>

#include "sha256.h"

class PristineArgDigest {
 public:
  void Update(const char* data, size_t size);
  // The SHA-256 of the pristine form, as 64 lowercase hex digits.
  std::string FinalHex();
  // The lines seen so far (1 for the first) that bear the mark "1" of a
  // line taken up, in ascending order.
  const std::vector<size_t>& LinesMarkedTaken() const { return taken_; }

 private:
  // Hashes the held start of a line, normalised when `marked`.
  void FlushHead(bool marked);

  Sha256 sha_;
  // The first bytes of the current line, held back while it is not yet
  // known whether the line is long enough to be a marked line.
  char head_[7];
  size_t headLength_ = 0;
  bool holding_ = false;   // the line began with '0' or '1'
  bool lineStart_ = true;  // the next byte begins a line
  size_t line_ = 1;        // the number of the current line
  std::vector<size_t> taken_;
};

#endif  // QUILLON_ARG_FILE_DIGEST_H_
