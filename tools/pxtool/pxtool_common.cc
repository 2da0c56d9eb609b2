#include "pxtool.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "safe_file.h"

namespace pxtool {

int UsageError(const char* message, const char* detail) {
  fprintf(stderr, "pxtool: %s%s\nTry 'pxtool --help'.\n", message, detail);
  return kExitUsage;
}

int Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fputs("pxtool: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  return kExitFailure;
}

int LocateNamedPackage(const CommandLine& line, PackageOperands operands,
                       PackageLocation* where, std::string* error) {
  const std::vector<std::string>& names = line.operands();
  if (names.size() > 2 || (names.empty() && operands == PackageOperands::kRequired))
    return line.UsageError("takes PACKAGE_DIR [ARGUMENT_FILE] or ARGUMENT_FILE");
  bool found = LocatePackage(names.empty() ? "." : names[0].c_str(),
                             names.size() > 1 ? names[1].c_str() : nullptr, where, error);
  return found ? kExitSuccess : kExitFailure;
}

int LocateNamedPackage(const CommandLine& line, PackageOperands operands,
                       PackageLocation* where) {
  std::string error;
  int status = LocateNamedPackage(line, operands, where, &error);
  return status == kExitFailure ? Fail("%s", error.c_str()) : status;
}

const char* MethodName(PXTool::PXCryptMethod method) {
  switch (method) {
    case PXTool::PXDecrypt: return "0 (plain, no trailer)";
    case PXTool::PXEncryptKey1: return "1";
    case PXTool::PXEncryptKey2: return "2";
    case PXTool::PXEncryptKey3: return "3";
  }
  return "?";
}

// GetPXFileInfo's 5 carries the error of the open in errno, or none for a
// source that is not a regular file; other results are the error number of a
// failed fstat or read.
bool ExamineSource(const char* path, PXTool::PXCryptMethod* found,
                   unsigned long long* size) {
  int rc = PXTool::GetPXFileInfo(path, *found, *size);
  if (rc == 0) return true;
  const char* problem = rc != 5 ? strerror(rc)
                        : errno   ? strerror(errno)
                                  : "not a regular file";
  fprintf(stderr, "pxtool: cannot read '%s': %s\n", path, problem);
  return false;
}

bool SameFile(const char* a, const char* b) {
  struct stat sa, sb;
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

int Transform(const char* verb, const char* in, const char* out,
              PXTool::PXCryptMethod method) {
  bool exists = false;
  std::string refused = WhyNotOwnFile(out, &exists);
  if (!refused.empty()) return Fail("'%s' %s; not writing through it", out, refused.c_str());
  PXTool tool;
  int rc = tool.GetPXFile2File(in, out, method);
  if (rc == 0) return kExitSuccess;
  // 5, -2 and 10 leave the cause in errno; any other code is an errno.
  const char* why = errno ? strerror(errno) : "refused by the codec";
  if (rc != 10 && rc != 5 && rc != -2) why = strerror(rc);
  return Fail("cannot %s '%s' to '%s': %s (code %d)", verb, in, out, why, rc);
}

}  // namespace pxtool
