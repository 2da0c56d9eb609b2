// Fuzzes the manifest reader and the pristine digest of an argument file.
//
// Input: byte 0 chooses the layout the manifest is matched against (names
// relative or absolute, how many package files); the rest is the manifest
// text, and also the argument file given to the digest in pieces of a size
// taken from byte 0. Checked: a manifest that matches names every expected
// file exactly once with a 64-digit lowercase digest; a refusal names
// something; the digest does not depend on how the text is cut; the digest
// of the text with every marked line normalised by hand is the same.

#include <cstdint>
#include <map>
#include <string>

#include "arg_file_digest.h"
#include "fuzz_support.h"
#include "package_manifest.h"

namespace {

std::string Digest(const std::string& text, size_t piece) {
  PristineArgDigest digest;
  for (size_t at = 0; at < text.size(); at += piece)
    digest.Update(text.data() + at, std::min(piece, text.size() - at));
  return digest.FinalHex();
}

// The pristine form written out whole, line by line.
std::string Normalised(std::string text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t lf = text.find('\n', start);
    size_t end = lf == std::string::npos ? text.size() : lf;
    if ((text[start] == '0' || text[start] == '1') && end - start >= 7) {
      text[start] = '0';
      text.replace(start + 2, 3, "000");
    }
    start = end + 1;
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t control = data[0];
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  PackageLayout layout;
  layout.argName = "px.arg";
  const char* prefix = (control & 1) ? "/srv/fw/" : "../files/";
  for (int i = 0; i < ((control >> 1) & 3); ++i)
    layout.files.push_back({prefix + std::string(1, static_cast<char>('a' + i)), "", false});
  std::map<std::string, std::string> digests;
  std::vector<size_t> shippedTaken;
  std::string name, why;
  if (MatchManifest(text, layout, &digests, &shippedTaken, &name, &why)) {
    for (size_t i = 0; i < shippedTaken.size(); ++i)
      FUZZ_CHECK(shippedTaken[i] > 0 && (i == 0 || shippedTaken[i] > shippedTaken[i - 1]));
    FUZZ_CHECK(digests.size() == layout.files.size() + 1);
    FUZZ_CHECK(digests.count("px.arg") == 1);
    for (const auto& file : layout.files) FUZZ_CHECK(digests.count(file.name) == 1);
    for (const auto& entry : digests)
      FUZZ_CHECK(entry.second.size() == 64 &&
                 entry.second.find_first_not_of("0123456789abcdef") ==
                     std::string::npos);
  } else {
    FUZZ_CHECK(!name.empty() && !why.empty());
  }

  const size_t piece = 1 + (control >> 3);
  const std::string whole = Digest(text, text.size() + 1);
  FUZZ_CHECK(whole == Digest(text, piece));
  FUZZ_CHECK(whole == Digest(Normalised(text), text.size() + 1));
  return 0;
}
