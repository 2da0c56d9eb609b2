#include "arg_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "report.h"
#include "path_parts.h"
#include "safe_file.h"
#include "taken_lines.h"

namespace {

void DebugPrint(FILE* debugOutput, const char* text) {
  if (debug) fputs(text, debugOutput);
}

// Releases the list of package files and the package directory.
void ReleaseBasicParams() {
  for (unsigned int i = 0; i < uFileCnt && i < MAX_PACKAGE_FILES; ++i) {
    free(cFileList[i]);
    cFileList[i] = nullptr;
  }
  delete[] pFwPath;
  pFwPath = nullptr;
  uFileCnt = 0;
}

// Puts the basic parameters into the run's globals. Returns 0, or
// EXECERROR_NoMemory when a copy cannot be made.
unsigned int StoreBasicParams(const BasicParams& params) {
  pFwPath = new (std::nothrow) char[params.fwPath.size() + 1];
  if (pFwPath == nullptr) return EXECERROR_NoMemory;
  memcpy(pFwPath, params.fwPath.c_str(), params.fwPath.size() + 1);
  for (const std::string& name : params.files) {
    char* copy = strdup(name.c_str());
    if (copy == nullptr) return EXECERROR_NoMemory;
    cFileList[uFileCnt++] = copy;
  }
  return 0;
}

}  // namespace

int OpenArgFile(const char* name, ArgFileView* view, std::string* why) {
  // No final symbolic link is followed (the run writes into the file), and
  // a FIFO or device cannot block the open.
  struct stat info;
  int fd = OpenRegularFile(name, O_RDWR | O_NOFOLLOW, &info);
  if (fd < 0) {
    int error = errno;
    if (error == ELOOP) *why = "is a symbolic link";
    if (error == EINVAL) *why = "is not a regular file";
    return error;
  }
  view->fd = fd;
  view->device = info.st_dev;
  view->inode = info.st_ino;
  view->baseName = NamePart(name);
  view->dirFd = open(DirectoryPart(name).c_str(),
                     O_PATH | O_DIRECTORY | O_CLOEXEC);
  return 0;
}

std::string ArgFileChange(const ArgFileView* view) {
  if (view == nullptr || view->text == nullptr) return std::string();
  struct stat opened, named;
  if (fstat(view->fd, &opened) != 0) return "cannot be examined any more";
  if (opened.st_size != static_cast<off_t>(view->mapSize))
    return "changed its size from " + std::to_string(view->mapSize) + " to " +
           std::to_string(opened.st_size) + " bytes";
  if (opened.st_nlink == 0) return "was removed";
  if (view->dirFd >= 0 &&
      (fstatat(view->dirFd, view->baseName.c_str(), &named,
               AT_SYMLINK_NOFOLLOW) != 0 ||
       named.st_dev != view->device || named.st_ino != view->inode))
    return "was replaced by another file";
  return std::string();
}

int ReadArgFileCopy(const ArgFileView& view, std::string* copy) {
  copy->assign(view.mapSize, '\0');
  ssize_t n = ReadFully(view.fd, &(*copy)[0], view.mapSize, 0);
  if (n < 0) return errno;
  // EIO: the file is shorter than its mapping.
  return static_cast<size_t>(n) == view.mapSize ? 0 : EIO;
}

int StatArgFile(const ArgFileView& view, size_t* size) {
  struct stat info;
  if (fstat(view.fd, &info) != 0) return errno;
  *size = static_cast<size_t>(info.st_size);
  return 0;
}

int MapArgFile(ArgFileView* view, size_t size) {
  if (size == 0) return EINVAL;  // an empty file cannot be mapped
  void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED,
                   view->fd, 0);
  if (map == MAP_FAILED) return errno;
  view->text = static_cast<char*>(map);
  view->mapSize = size;
  view->textEnd = view->text + strnlen(view->text, size);
  return 0;
}

void ReleaseArgFile(ArgFileView* view, bool closeFd) {
  if (view->text != nullptr) munmap(view->text, view->mapSize);
  view->text = view->textEnd = nullptr;
  view->mapSize = 0;
  if (closeFd && view->fd >= 0) {
    close(view->fd);
    view->fd = -1;
  }
  if (closeFd && view->dirFd >= 0) {
    close(view->dirFd);
    view->dirFd = -1;
  }
}

int MarkLineTaken(const ArgFileView* view, char* line) {
  if (view == nullptr || view->text == nullptr || line < view->text ||
      line >= view->text + view->mapSize) {
    *line = '1';
    return 0;
  }
  if (view->taken != nullptr) {
    size_t number = 1 + static_cast<size_t>(std::count(view->text, line, '\n'));
    std::string why;
    if (int error = view->taken->Add(number, &why)) {
      QREPORT(1, "ERROR : record of taken lines %s - line %zu of argument "
              "file \"%s\" left pending", why.c_str(), number, pArgFileName);
      return error;
    }
  }
  *line = '1';
  uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t start = reinterpret_cast<uintptr_t>(line) & ~(page - 1);
  return msync(reinterpret_cast<void*>(start), 1, MS_SYNC) == 0 ? 0 : errno;
}

unsigned int ReadBasicParamsA(const void* pFileView, const char* pWorkPath) {
  const char* text = static_cast<const char*>(pFileView);
  return ReadBasicParamsA(pFileView, text + strlen(text), pWorkPath);
}

unsigned int ReadBasicParamsA(const void* pFileView, const char* end,
                              const char* pWorkPath, FILE* debugOutput) {
  const char* text = static_cast<const char*>(pFileView);
  uFileCnt = 0;
  BasicParams params = ReadBasicParams(text, end, pWorkPath, autonomic);
  switch (params.problem) {
    case BasicParamsProblem::kNoRuntimeSection:
      DebugPrint(debugOutput, "Can not find RUNTIMESECTION");
      return params.code;
    case BasicParamsProblem::kNoLineAfterComments:
      DebugPrint(debugOutput, "Can't find line without comment");
      return params.code;
    case BasicParamsProblem::kNoFwPathKey:
      DebugPrint(debugOutput, "Missing FWPATHKEY");
      return params.code;
    default:
      break;
  }
  // From here on a failure leaves through the exit below.
  unsigned int failure = params.code;
  if (params.problem == BasicParamsProblem::kFwPathWithoutLineEnd)
    QREPORT(1, "ERROR : FWPATH value in argument file \"%s\" has no line end",
            pArgFileName);
  if (params.problem == BasicParamsProblem::kFwPathWithoutLineEnd ||
      params.problem == BasicParamsProblem::kEmptyFwPath)
    DebugPrint(debugOutput, "Can't find FWPATHKEY");
  if (params.problem == BasicParamsProblem::kNoMemory && !autonomic)
    DebugPrint(debugOutput, "Can't alloc memory");
  if (debug && !params.fwPath.empty()) QLOG("Scan directory %s", params.fwPath.c_str());
  if (debug && params.scanned) {
    if (params.scanResult < 0)
      QLOG("ScanDir returned %d, error %d", params.scanResult, params.scanErrno);
    else
      QLOG("ScanDir returned %d, entries, error %d", params.scanResult,
           params.scanErrno);
  }
  if (params.problem == BasicParamsProblem::kScanPathTooLong)
    QREPORT(1, "ERROR : path \"%s\" of a package file is longer than %zu "
            "characters", params.overlongPath.c_str(), kMaxScanPath);
  if (params.problem == BasicParamsProblem::kTooManyFiles)
    QREPORT(1, "ERROR : package directory \"%s\" holds more than %d files",
            params.fwPath.c_str(), static_cast<int>(MAX_PACKAGE_FILES));
  if (failure == 0 && (failure = StoreBasicParams(params)) == 0) return 0;
  if (debug) fprintf(debugOutput, "ReadBasicParams : caught exception %u\n",
                     failure);
  ReleaseBasicParams();
  return autonomic ? 55 : failure;
}
