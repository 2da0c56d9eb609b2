// pxtool descramble IN OUT: writes the plain form of IN to OUT.

#include "pxtool.h"

namespace pxtool {

int RunDescramble(const CommandLine& line) {
  if (line.operands().size() != 2) return line.UsageError("needs IN and OUT");
  const char* in = line.operands()[0].c_str();
  const char* out = line.operands()[1].c_str();
  PXTool::PXCryptMethod found;
  unsigned long long size;
  if (!ExamineSource(in, &found, &size)) return kExitFailure;
  if (found == PXTool::PXEncryptKey3)
    return Fail("'%s' carries the method-3 trailer, which is never descrambled", in);
  if (found != PXTool::PXDecrypt && size == 0)
    return Fail("'%s' is a bare trailer with nothing to descramble", in);
  if (found != PXTool::PXDecrypt && SameFile(in, out))
    return Fail("'%s' and '%s' are the same file; descramble into another file", in, out);
  if (found == PXTool::PXDecrypt)
    fprintf(stderr, "pxtool: note: '%s' has no trailer; copied unchanged\n", in);
  return Transform("descramble", in, out, PXTool::PXDecrypt);
}

}  // namespace pxtool
