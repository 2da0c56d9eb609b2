// Fuzzes the status-file parser and the final code in words. Checked: a
// text the parser accepts is exactly "Status=<n>\nRetval=<n>" (with an
// optional CR before the line feed and one line feed at the end) and what
// the run would write for its two numbers is accepted with the same
// values; every final code has a verdict and a description in both modes.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "run_outcome.h"
#include "status_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  StatusFileContent content;
  std::string error;
  if (ParseStatusFile(text, &content, &error)) {
    const std::string layout = kStatusFileLayout;
    FUZZ_CHECK(text.compare(0, layout.find('%'), layout, 0, layout.find('%')) == 0);
    char written[kStatusTextSize];
    FormatStatusFile(content.status, content.retval, written);
    StatusFileContent again;
    FUZZ_CHECK(ParseStatusFile(written, &again, &error));
    FUZZ_CHECK(again.status == content.status && again.retval == content.retval);
  } else {
    FUZZ_CHECK(!error.empty());
  }
  unsigned int code = 0;
  memcpy(&code, data, std::min(size, sizeof(code)));
  for (bool autonomic : {false, true}) {
    pxtool::FinalCodeMeaning m = pxtool::DescribeFinalCode(code, autonomic);
    FUZZ_CHECK(m.verdict != nullptr && *m.verdict != '\0' && !m.description.empty());
  }
  return 0;
}
