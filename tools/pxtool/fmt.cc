// pxtool fmt PACKAGE_DIR [ARGUMENT_FILE] [--check]
//
// Formats an argument file (arg_file_format.h): CR LF line ends, and the
// mark and result columns of every command line at their widths, so that
// the command text starts in column 7; no command text changes. Prints each
// line whose columns move, the line ends converted, and every command line
// left as it is because its columns cannot be told apart.
//
// It rewrites the file as "pxtool reset" does: under the run lock (refused,
// changing nothing, while a run holds it; where this user cannot use the
// lock directory, a package author who is not root, only after looking the
// lock up), the old content kept as "<argument file>.bak", the new written
// beside the file, flushed and renamed over it with its mode and owner. A
// symbolic link is refused, never followed.
//
// --check changes nothing: exit status 1 when fmt would change the file, 0
// when it is formatted.

#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "arg_file_format.h"
#include "file_replace.h"
#include "package_manifest.h"
#include "path_parts.h"
#include "pxtool.h"
#include "run_lock.h"
#include "safe_file.h"

namespace pxtool {

namespace {

// A line for the report: in quotes, control characters and bytes above
// 0x7e as escapes.
std::string Quote(const std::string& line) {
  std::string out = "\"";
  for (unsigned char c : line) {
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') {
      char hex[8];
      snprintf(hex, sizeof(hex), c == '"' || c == '\\' ? "\\%c" : "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void PrintChanges(const std::string& argPath, const FormattedText& formatted, bool check) {
  const char* verb = check ? "would move" : "moved";
  for (const LineChange& c : formatted.columns)
    printf("%s:%zu: columns %s: %s -> %s\n", argPath.c_str(), c.line, verb,
           Quote(c.before).c_str(), Quote(c.after).c_str());
  if (formatted.lineEndsConverted > 0)
    printf("%s: %zu line end%s LF -> CR LF (%s), the first on line %zu\n", argPath.c_str(),
           formatted.lineEndsConverted, formatted.lineEndsConverted == 1 ? "" : "s",
           check ? "would be converted" : "converted", formatted.firstLineEnd);
  for (const LineChange& c : formatted.leftAlone)
    printf("%s:%zu: left as it is: %s: %s\n", argPath.c_str(), c.line, c.why.c_str(),
           Quote(c.before).c_str());
}

// The run lock for the rewrite: taken, or, where this user cannot use the
// lock directory, looked up. kExitSuccess to go on; otherwise the failure,
// said.
int LockForRewrite(RunLock* lock, const std::string& argPath) {
  std::string error;
  RunLockState state = lock->Take(argPath, &error);
  if (state == RunLockState::kFailed) {
    std::string probeError;
    state = lock->Probe(argPath, &probeError);
    if (state == RunLockState::kFailed) return Fail("cannot format: %s", error.c_str());
    error = probeError;
  }
  if (state == RunLockState::kHeld)
    return Fail("%s: a run of Quillon holds the package's lock - nothing changed",
                argPath.c_str());
  if (state == RunLockState::kNoFile) return Fail("cannot format: %s", error.c_str());
  return kExitSuccess;
}

}  // namespace

int RunFmt(const CommandLine& line, const std::string& runLockDirectory) {
  const bool check = line.Has("check");
  PackageLocation where;
  if (int rc = LocateNamedPackage(line, PackageOperands::kRequired, &where)) return rc;
  const std::string argPath = where.ArgPath();

  struct stat like;
  if (lstat(argPath.c_str(), &like) != 0)
    return Fail("%s: %s", argPath.c_str(), strerror(errno));
  if (S_ISLNK(like.st_mode))
    return Fail("%s: is a symbolic link - nothing changed (format the file it names)",
                argPath.c_str());
  RunLock lock(runLockDirectory);
  if (int rc = check ? kExitSuccess : LockForRewrite(&lock, argPath)) return rc;
  // From here on no run starts (where the lock is held): the file is read
  // and replaced under it.
  std::string text, error;
  if (!ReadPackageFile(argPath, kMaxArgumentFileSize, where.dir, &text, &error) ||
      lstat(argPath.c_str(), &like) != 0 || !S_ISREG(like.st_mode))
    return Fail("cannot read the argument file %s", error.c_str());
  FormattedText formatted = FormatArgumentText(text);
  PrintChanges(argPath, formatted, check);
  if (!formatted.Changed()) {
    printf("%s: formatted; nothing to change\n", argPath.c_str());
    return kExitSuccess;
  }
  if (check) {
    printf("%s: not formatted (pxtool fmt changes it)\n", argPath.c_str());
    return kExitFailure;
  }
  const char kTag[] = "pxtool-fmt";
  if (!ReplaceFile(ResetBackupPath(argPath), text, like, kTag, &error))
    return Fail("cannot keep the previous content: %s - nothing changed", error.c_str());
  if (!ReplaceFile(argPath, formatted.text, like, kTag, &error))
    return Fail("%s - the argument file is unchanged", error.c_str());
  if (int syncError = SyncDirectory(DirectoryPart(argPath)))
    Fail("%s: its directory could not be flushed to disk: %s", argPath.c_str(),
         strerror(syncError));
  printf("%s: formatted; the previous content is in %s\n", argPath.c_str(),
         ResetBackupPath(argPath).c_str());
  struct stat st;
  if (lstat((where.ArgDir() + "/" + kSignatureName).c_str(), &st) == 0)
    Fail("%s: the package is signed and its argument file changed: sign it again",
         argPath.c_str());
  return kExitSuccess;
}

}  // namespace pxtool
