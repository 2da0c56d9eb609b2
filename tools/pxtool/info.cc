// pxtool info FILE...: the method each trailer names, and the plain size.

#include "pxtool.h"

#include <cstring>

namespace pxtool {

int RunInfo(int argc, char** argv) {
  if (argc == 0) return UsageError("info: needs at least one FILE", "");
  int status = kExitSuccess;
  for (int i = 0; i < argc; ++i) {
    PXTool::PXCryptMethod found;
    unsigned long long size;
    if (!ExamineSource(argv[i], &found, &size)) {
      status = kExitFailure;
      continue;
    }
    const char* note = "";
    if (found == PXTool::PXEncryptKey3)
      note = " (cannot be descrambled: method 3 is refused)";
    else if (found != PXTool::PXDecrypt && size == 0)
      note = " (cannot be descrambled: bare trailer)";
    printf("%s: method %s, plain size %llu%s\n", argv[i], MethodName(found),
           size, note);
  }
  return status;
}

}  // namespace pxtool
