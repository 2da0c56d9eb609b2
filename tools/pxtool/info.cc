// pxtool info FILE...: the method each trailer names, and the plain size.

#include "pxtool.h"

namespace pxtool {

int RunInfo(const CommandLine& line) {
  if (line.operands().empty()) return line.UsageError("needs at least one FILE");
  int status = kExitSuccess;
  for (const std::string& file : line.operands()) {
    PXTool::PXCryptMethod found;
    unsigned long long size;
    if (!ExamineSource(file.c_str(), &found, &size)) {
      status = kExitFailure;
      continue;
    }
    const char* note = "";
    if (found == PXTool::PXEncryptKey3)
      note = " (cannot be descrambled: method 3 is refused)";
    else if (found != PXTool::PXDecrypt && size == 0)
      note = " (cannot be descrambled: bare trailer)";
    printf("%s: method %s, plain size %llu%s\n", file.c_str(), MethodName(found),
           size, note);
  }
  return status;
}

}  // namespace pxtool
