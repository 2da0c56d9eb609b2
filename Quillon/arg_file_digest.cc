#include "arg_file_digest.h"

#include <cstring>

namespace {

// A marked line has this many characters before its LF, at least: six
// columns and the character the run drops before the LF.
const size_t kMarkedHead = 7;

}  // namespace

void PristineArgDigest::FlushHead(bool marked) {
  if (marked) {
    if (head_[0] == '1') taken_.push_back(line_);
    head_[0] = '0';
    memcpy(head_ + 2, "000", 3);
  }
  sha_.Update(head_, headLength_);
  headLength_ = 0;
  holding_ = false;
}

void PristineArgDigest::Update(const char* data, size_t size) {
  const char* end = data + size;
  while (data < end) {
    if (holding_) {
      char c = *data++;
      head_[headLength_++] = c;
      if (c == '\n') {  // too short to be marked
        FlushHead(false);
        lineStart_ = true;
        ++line_;
      } else if (headLength_ == kMarkedHead) {
        FlushHead(true);
      }
      continue;
    }
    if (lineStart_) {
      lineStart_ = false;
      if (*data == '0' || *data == '1') {
        holding_ = true;
        continue;
      }
    }
    // The rest of the line goes through unchanged.
    const char* lf = static_cast<const char*>(memchr(data, '\n', end - data));
    const char* stop = lf ? lf + 1 : end;
    sha_.Update(data, static_cast<size_t>(stop - data));
    data = stop;
    if (lf) {
      lineStart_ = true;
      ++line_;
    }
  }
}

std::string PristineArgDigest::FinalHex() {
  if (holding_) FlushHead(false);
  lineStart_ = true;
  return sha_.FinalHex();
}
