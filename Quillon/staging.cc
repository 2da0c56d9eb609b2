#include "staging.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "px_tool.h"
#include "stage_paths.h"
#include "report.h"
#include "safe_file.h"

namespace {

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Gives the package file itself mode 0700 when it is its own staged copy
// (the package directory is the execution directory); never through a
// link, never anything but a regular file.
void MakeExecutableInPlace(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) fchmod(fd, 0700);
  close(fd);
}

// A package that fails its signature check leaves no staged copy behind:
// removes the copies made so far (never a package file staged in place) and
// returns the handler error.
unsigned int RemoveStaged(const std::vector<std::string>& written) {
  for (const std::string& copy : written) unlink(copy.c_str());
  return EXECERROR_HandlerError;
}

}  // namespace

unsigned int InitRunA(const char* pExecutionPath, const char* pFirmwarePath,
                      StagingCheck* check) {
  if (pExecutionPath == nullptr || pFirmwarePath == nullptr) return 55;
  ClearPendingFlags();
  for (unsigned int i = 0; i < uFileCnt; ++i) {
    StagePaths paths = StagePathsOf(pFirmwarePath, pExecutionPath, cFileList[i]);
    if (const std::string* longer = paths.TooLong()) {
      QREPORT(1, "ERROR : path \"%s\" is longer than %zu characters - "
              "nothing staged", longer->c_str(), kMaxStagePath);
      return EXECERROR_HandlerError;
    }
  }

  std::vector<std::string> written;  // copies made (never a package file)
  for (unsigned int i = 0; i < uFileCnt; ++i) {
    StagePaths paths = StagePathsOf(pFirmwarePath, pExecutionPath, cFileList[i]);
    const std::string& szSrcFile = paths.source;
    const std::string& szDestFile = paths.copy;
    WriteLogFileA(hLogFile, "\nCopy file from \"%s\" to \"%s\"",
                  szSrcFile.c_str(), szDestFile.c_str());
    const bool executable = IsExecutableName(szDestFile);
    const bool inPlace = SameFile(szSrcFile, szDestFile);
    bool exists = false;
    std::string why =
        inPlace ? std::string() : WhyNotOwnFile(szDestFile.c_str(), &exists);
    if (!why.empty()) {
      QREPORT(1, "ERROR : staged copy \"%s\" %s - refused, nothing written "
              "through it", szDestFile.c_str(), why.c_str());
      return EXECERROR_HandlerError;
    }
    // Staged copies are private: 0600, or 0700 for ".exe" names, whatever
    // the umask. With a signature check the codec shows the check every
    // byte it reads, so the copy that runs is the copy that was checked.
    PXTool::PXFileOptions options;
    options.mode = executable ? 0700 : 0600;
    if (check != nullptr) {
      options.observer = check->Begin(szSrcFile.c_str());
      if (options.observer == nullptr) return RemoveStaged(written);
    }
    int result = PXTool::GetPXFile2FileWith(
        szSrcFile.c_str(), szDestFile.c_str(), PXTool::PXDecrypt, options);
    if (result != 0) {
      int error = errno;
      QREPORT(1, "ERROR : staging \"%s\" to \"%s\" failed with result %d "
              "(errno %d)", szSrcFile.c_str(), szDestFile.c_str(), result,
              error);
      if (check != nullptr) return RemoveStaged(written);
      return static_cast<unsigned int>(result);
    }
    if (!inPlace) written.push_back(szDestFile);
    if (check != nullptr && !check->End(szSrcFile.c_str()))
      return RemoveStaged(written);
    if (executable && inPlace) MakeExecutableInPlace(szDestFile);
  }
  return 0;
}

unsigned int CompleteRun(bool keep) {
  for (unsigned int i = 0; i < uFileCnt && i < MAX_PACKAGE_FILES; ++i) {
    if (!keep && cFileList[i] != nullptr) {
      int result = unlink(cFileList[i]) == 0 ? 0 : errno;
      WriteLogFileA(hLogFile, "\ndelete file '%s' returns %d", cFileList[i],
                    result);
    }
    free(cFileList[i]);
    cFileList[i] = nullptr;
  }
  uFileCnt = 0;
  free(pExecPath);
  pExecPath = nullptr;
  delete[] pFwPath;
  pFwPath = nullptr;
  return 0;
}

bool Get_WRP_Path(const char* input, char* output) {
  if (input == nullptr || *input == '\0') return false;
  size_t length = strlen(input);
  if (length >= kWrpPathSize) return false;
  const char* slash = strrchr(input, '/');
  if (slash == nullptr) return false;
  size_t kept = static_cast<size_t>(slash - input);
  memcpy(output, input, kept);
  output[kept] = '\0';
  return true;
}
