#include "status_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "flags.h"
#include "process.h"
#include "report.h"
#include "safe_file.h"

const char kStatusFileName[] = "HandlerStatus.txt";
const char kStatusTempName[] = "HandlerStatus.txt.new";

namespace {

const mode_t kStatusMode = 0644;

// Writes all of `text` at the start of the open file, cuts it there and
// flushes it to disk; closes it. Returns 0 or the errno of the failure.
int WriteAndClose(int fd, const char* text, bool inPlace) {
  const size_t size = strlen(text);
  int error = 0;
  if (inPlace) {
    // Overwrites the bytes that are there: as long as the file had a block,
    // this needs no new one, so it works on a full disk.
    if (pwrite(fd, text, size, 0) != static_cast<ssize_t>(size))
      error = errno ? errno : ENOSPC;
    else if (ftruncate(fd, static_cast<off_t>(size)) != 0)
      error = errno;
  } else if (!WriteAll(fd, text, size)) {
    error = errno;
  }
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  return error;
}

// Flushes the directory, so that the rename is on disk too. Returns 0 or
// the errno of the failure.
int SyncCurrentDirectory() {
  int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  return error;
}

// Writes the new content beside the status file and renames it over the
// old one. A stale or planted temporary name is removed first (never
// written through). Returns 0 or the errno of the failure; the old file is
// untouched on failure.
int ReplaceStatusFile(const char* text, std::string* why) {
  int fd = CreateExclusive(kStatusTempName, O_WRONLY, kStatusMode, why);
  if (fd < 0 && errno == EEXIST && unlink(kStatusTempName) == 0)
    fd = CreateExclusive(kStatusTempName, O_WRONLY, kStatusMode, why);
  if (fd < 0) return errno;
  int error = WriteAndClose(fd, text, false);
  if (error == 0 && rename(kStatusTempName, kStatusFileName) != 0)
    error = errno;
  if (error != 0) {
    unlink(kStatusTempName);
    return error;
  }
  int syncError = SyncCurrentDirectory();
  if (syncError != 0)
    QREPORT(1, "ERROR : directory of status file \"%s\" could not be flushed "
            "to disk (errno %d) - the new status may not survive a power cut",
            kStatusFileName, syncError);
  return 0;
}

// Rewrites the status file in place, or creates it when there is none: the
// only way left when the new content cannot be written beside it. Only a
// regular file of our own with one link is written (never a link or a
// planted file).
int RewriteStatusFileInPlace(const char* text, std::string* why) {
  int fd = OpenOwnFile(kStatusFileName, O_WRONLY | O_CREAT, kStatusMode, why);
  return fd < 0 ? errno : WriteAndClose(fd, text, true);
}

}  // namespace

void SetExecStatus(int execstatus, int ret) {
  if (status != 4) status = execstatus;
  // Nothing here may need memory: the status is also written when the run
  // ends for lack of it. Only a refusal's reason (a planted temporary or
  // status file) is a string; without memory for it, that way counts as
  // failed.
  char dir[CProcess::kCurrentDirSize];
  CProcess::GetCurrentDir(dir);
  QREPORT(2, "Update status file \"%s%s%s\": Exit Status: %d, Return Code: %d",
          dir, "/", kStatusFileName, status, ret);
  char text[64];
  snprintf(text, sizeof(text), "Status=%d\nRetval=%d", status, ret);
  std::string why;
  int error;
  try {
    error = ReplaceStatusFile(text, &why);
  } catch (const std::bad_alloc&) {
    error = ENOMEM;
  }
  if (error == 0) return;
  QTRACE(1, "Error %d open status file \"%s%s%s\"", error, dir, "/",
         kStatusFileName);
  QLOG("Error %d open status file '%s'", error, kStatusFileName);
  if (!why.empty())
    QREPORT(1, "ERROR : \"%s%s%s\" %s - not written through", dir, "/",
            kStatusTempName, why.c_str());
  why.clear();
  int inPlace;
  try {
    inPlace = RewriteStatusFileInPlace(text, &why);
  } catch (const std::bad_alloc&) {
    inPlace = ENOMEM;
  }
  if (inPlace == 0) {
    QREPORT(1, "Status file \"%s%s%s\" written in place", dir, "/",
            kStatusFileName);
    return;
  }
  // Neither way worked. An old status file would show an earlier stage or
  // run as the current one: remove it, so that the caller sees none.
  bool removed = unlink(kStatusFileName) == 0;
  QREPORT(1, "ERROR : status file \"%s%s%s\" cannot be written (error %d%s%s)"
          " - %s", dir, "/", kStatusFileName, inPlace,
          why.empty() ? "" : ", it ", why.c_str(),
          removed ? "removed, so that no earlier result shows"
                  : "it may show an earlier result");
}

unsigned int ComposeFinalCode(unsigned int runResult) {
  if (!autonomic) return delayedReboot ? (runResult | 0x100000u) : runResult;
  if (runResult != 0) return runResult;
  return AutonomicConditionCode(CurrentConditions());
}
