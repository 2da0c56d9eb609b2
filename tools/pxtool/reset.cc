// pxtool reset [PACKAGE_DIR [ARGUMENT_FILE] | ARGUMENT_FILE] [--section KEY]
//              [--keep-status]
//
// Re-arms a package: every taken line of the section (default: every
// command section) becomes pending again with the result field 000; a
// signed package keeps the lines its manifest ships taken. Its record of
// taken lines (taken_lines.h) forgets the sections re-armed only after the
// argument file was replaced, so a crash in between lets a run pass over
// nothing.
//
// It holds the run lock (run_lock.h) while it works, and refuses, changing
// nothing, while a run holds it. The argument file is replaced whole (written
// beside it, flushed, renamed over it, mode and owner kept) after the old
// content was kept the same way as "<argument file>.bak": a crash leaves the
// old or the new file, never a mixture. The status files are removed (unless
// --keep-status) before the rename, so no earlier status shows beside the
// re-armed file.

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "file_replace.h"
#include "package_manifest.h"
#include "package_state.h"
#include "path_parts.h"
#include "pxtool.h"
#include "run_lock.h"
#include "safe_file.h"
#include "sha256.h"
#include "status_file.h"
#include "taken_lines.h"

namespace pxtool {

const char kResetTag[] = "pxtool-reset";  // of the files written beside

int RunReset(const CommandLine& line, const std::string& runLockDirectory,
             const std::string& stateDirectory) {
  std::vector<RunMode> modes;
  bool keepStatus = line.Has("keep-status");
  for (const std::string& key : line.All("section")) {
    RunMode mode;
    if (!ModeOfSectionKey(key.c_str(), &mode))
      return line.UsageError("--section takes Commands, UpdCommands or ExpCommands (with or "
                             "without brackets)");
    modes.push_back(mode);
  }
  PackageLocation where;
  if (int rc = LocateNamedPackage(line, PackageOperands::kOptional, &where)) return rc;
  bool allSections = modes.empty();
  if (allSections) modes = {RunMode::kForce, RunMode::kUpdate, RunMode::kExpert};
  std::string argPath = where.ArgPath(), error;
  RunLock lock(runLockDirectory);
  RunLockState state = lock.Take(argPath, &error);
  if (state == RunLockState::kHeld)
    return Fail("%s: a run of Quillon holds the package's lock - nothing changed",
                argPath.c_str());
  if (state != RunLockState::kTaken) return Fail("cannot reset: %s", error.c_str());
  // From here on no run can start: the file is read and replaced under the
  // lock.
  std::string text;
  struct stat like;
  if (!ReadPackageFile(argPath, kMaxArgumentFileSize, where.dir, &text, &error) ||
      lstat(argPath.c_str(), &like) != 0)
    return Fail("cannot read the argument file %s", error.c_str());
  if (text.empty()) return Fail("%s: empty, nothing to re-arm", argPath.c_str());
  // A signed package: the manifest beside the argument file.
  std::string manifest;
  const std::string argDir = where.ArgDir();
  const std::string manifestPath = (argDir == "/" ? "" : argDir) + "/" + kManifestName;
  struct stat manifestStat;
  const bool isSigned = lstat(manifestPath.c_str(), &manifestStat) == 0;
  if (isSigned &&
      !ReadPackageFile(manifestPath, kMaxArgumentFileSize, where.dir, &manifest, &error))
    return Fail("cannot read the manifest %s - nothing changed", error.c_str());
  std::string rearmed = text;
  std::vector<std::string> missing;
  std::set<size_t> lines;
  size_t changed = RearmSections(&rearmed, modes, ShippedTaken(manifest), &missing, &lines);
  if (!allSections && !missing.empty())
    return Fail("%s: section %s not found - nothing changed", argPath.c_str(),
                missing.front().c_str());
  if (changed > 0 && !ReplaceFile(ResetBackupPath(argPath), text, like, kResetTag, &error))
    return Fail("cannot keep the previous content: %s - nothing changed", error.c_str());
  std::vector<std::string> removed;
  if (!keepStatus) {
    for (const std::string& dir : {argDir, where.dir}) {
      std::string path = (dir == "/" ? "" : dir) + "/" + kStatusFileName;
      if (unlink(path.c_str()) == 0) {
        removed.push_back(path);
        SyncDirectory(dir);
      } else if (errno != ENOENT) {
        Fail("%s: cannot be removed: %s", path.c_str(), strerror(errno));
      }
    }
  }
  const char* sections = allSections ? nullptr : SectionKey(modes.front());
  if (changed > 0) {
    if (!ReplaceFile(argPath, rearmed, like, kResetTag, &error))
      return Fail("%s - the argument file is unchanged", error.c_str());
    if (int syncError = SyncDirectory(DirectoryPart(argPath)))
      Fail("%s: its directory could not be flushed to disk: %s", argPath.c_str(),
           strerror(syncError));
    printf("%s: %zu line%s re-armed in %s; the previous content is in %s\n", argPath.c_str(),
           changed, changed == 1 ? "" : "s", sections ? sections : "every command section",
           ResetBackupPath(argPath).c_str());
  } else {
    printf("%s: no taken line in %s; the argument file is unchanged\n", argPath.c_str(),
           sections ? sections : "any command section");
  }
  for (const std::string& path : removed) printf("removed %s\n", path.c_str());
  if (!isSigned) return kExitSuccess;
  TakenLines record(stateDirectory);
  Sha256 sha;
  sha.Update(manifest.data(), manifest.size());
  if (!record.Forget(sha.FinalHex(), allSections ? nullptr : &lines, &error))
    return Fail("the record of taken lines cannot be cleared: %s", error.c_str());
  return kExitSuccess;
}

}  // namespace pxtool
