// pxtool scramble --method 1|2 IN OUT: writes IN scrambled to OUT.

#include "pxtool.h"

#include <cstring>

namespace pxtool {

int RunScramble(int argc, char** argv) {
  int method = 0;
  const char* files[2] = {nullptr, nullptr};
  int nfiles = 0;
  for (int i = 0; i < argc; ++i) {
    const char* value = nullptr;
    if (OptionValue("--method", argc, argv, &i, &value)) {
      if (value == nullptr) return UsageError("--method needs a value", "");
    } else if (nfiles < 2 && (argv[i][0] != '-' || argv[i][1] == '\0')) {
      files[nfiles++] = argv[i];
      continue;
    } else {
      return UsageError("scramble: unexpected argument ", argv[i]);
    }
    if (strcmp(value, "1") != 0 && strcmp(value, "2") != 0)
      return UsageError("--method must be 1 or 2, not ", value);
    method = value[0] - '0';
  }
  if (method == 0) return UsageError("scramble: --method 1|2 is required", "");
  if (nfiles != 2) return UsageError("scramble: needs IN and OUT", "");

  const char* in = files[0];
  const char* out = files[1];
  PXTool::PXCryptMethod found;
  unsigned long long size;
  if (!ExamineSource(in, &found, &size)) return kExitFailure;
  // The codec decodes any source that carries a trailer; scrambling it again
  // is not possible in this format.
  if (found != PXTool::PXDecrypt)
    return Fail("'%s' already ends with the method-%d trailer; not scrambling it", in,
                static_cast<int>(found));
  if (size == 0) return Fail("'%s' is empty; an empty file cannot be scrambled", in);
  if (SameFile(in, out)) return Fail("'%s' and '%s' are the same file", in, out);
  return Transform("scramble", in, out, static_cast<PXTool::PXCryptMethod>(method));
}

}  // namespace pxtool
