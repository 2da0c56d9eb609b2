#include "status_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "process.h"
#include "report.h"

const char kStatusFileName[] = "HandlerStatus.txt";

namespace {

const char kStatusTempName[] = "HandlerStatus.txt.new";

// Writes all of `text` to the open descriptor and flushes it to disk;
// closes it. Returns 0 or the errno of the failure.
int WriteAndClose(int fd, const std::string& text) {
  size_t done = 0;
  int error = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (error == 0 && fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  return error;
}

int OpenForWriting(const char* name) {
  return open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

void SyncCurrentDirectory() {
  int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Replaces the status file; returns 0 or the errno of the failure. When the
// new content cannot be written completely (a full disk, say), the old file
// stays as it was.
int ReplaceStatusFile(const std::string& text) {
  int fd = OpenForWriting(kStatusTempName);
  if (fd < 0) {
    // The directory takes no new file: rewrite the old one in place.
    fd = OpenForWriting(kStatusFileName);
    return fd < 0 ? errno : WriteAndClose(fd, text);
  }
  int error = WriteAndClose(fd, text);
  if (error == 0 && rename(kStatusTempName, kStatusFileName) != 0)
    error = errno;
  if (error != 0) {
    unlink(kStatusTempName);
    return error;
  }
  SyncCurrentDirectory();
  return 0;
}

}  // namespace

void SetExecStatus(int execstatus, int ret) {
  if (status != 4) status = execstatus;
  std::string dir;
  CProcess::GetCurrentDir(dir);
  QREPORT(2, "Update status file \"%s%s%s\": Exit Status: %d, Return Code: %d",
          dir.c_str(), "/", kStatusFileName, status, ret);
  char text[64];
  snprintf(text, sizeof(text), "Status=%d\nRetval=%d", status, ret);
  int error = ReplaceStatusFile(text);
  if (error != 0) {
    QTRACE(1, "Error %d open status file \"%s%s%s\"", error, dir.c_str(), "/",
           kStatusFileName);
    QLOG("Error %d open status file '%s'", error, kStatusFileName);
  }
}

unsigned int ComposeFinalCode(unsigned int runResult) {
  if (!autonomic) return delayedReboot ? (runResult | 0x100000u) : runResult;
  if (runResult != 0) return runResult;
  static const struct {
    const bool* flag;
    unsigned int code;
  } kConditionCodes[] = {
      {&notSupportedOS, 59},       {&notSupportedSubSys, 60},
      {&kernelModuleMissing, 22},  {&pkgMissing, 21},
      {&bitLockerBlocked, 23},     {&trustedExeTecBlocked, 24},
      {&noDowngrade, 63},          {&noUpdate, 64},
      {&wrongPriorVersion, 66},    {&unfullfilledPrerequisite, 65},
      {&incorrectTarget, 17},      {&acCycle, 10},
      {&powercycle, 70},           {&delayedReboot, 1},
  };
  for (const auto& entry : kConditionCodes) {
    if (*entry.flag) return entry.code;
  }
  return static_cast<unsigned int>(cmdRet);
}
