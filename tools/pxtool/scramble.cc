// pxtool scramble --method 1|2 IN OUT: writes IN scrambled to OUT.

#include "pxtool.h"

namespace pxtool {

int RunScramble(const CommandLine& line) {
  // The table admits only 1 and 2.
  const char* method = line.Last("method");
  if (method == nullptr) return line.UsageError("--method 1|2 is required");
  if (line.operands().size() != 2) return line.UsageError("needs IN and OUT");

  const char* in = line.operands()[0].c_str();
  const char* out = line.operands()[1].c_str();
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
  return Transform("scramble", in, out, static_cast<PXTool::PXCryptMethod>(method[0] - '0'));
}

}  // namespace pxtool
