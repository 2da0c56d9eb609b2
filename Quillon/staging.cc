#include "staging.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "px_tool.h"
#include "report.h"

namespace {

std::string JoinPath(const char* directory, const char* name) {
  return std::string(directory) + "/" + name;
}

bool IsExecutableName(const std::string& path) {
  size_t dot = path.rfind('.');
  return dot != std::string::npos && path.compare(dot, 4, ".exe") == 0;
}

// Stages one file through the codec with the check's observer. False when
// the check refuses it; a codec failure is a refusal too (reported here).
bool StageChecked(StagingCheck& check, const std::string& source,
                  const std::string& destination) {
  PXSourceObserver* observer = check.Begin(source.c_str());
  if (observer == nullptr) return false;
  int result = PXTool::GetPXFile2FileObserved(
      source.c_str(), destination.c_str(), PXTool::PXDecrypt, observer);
  if (result != 0) {
    int error = errno;
    QREPORT(1, "ERROR : staging \"%s\" to \"%s\" failed with result %d "
            "(errno %d)", source.c_str(), destination.c_str(), result, error);
    return false;
  }
  return check.End(source.c_str());
}

}  // namespace

unsigned int InitRunA(const char* pExecutionPath, const char* pFirmwarePath,
                      StagingCheck* check) {
  if (pExecutionPath == nullptr || pFirmwarePath == nullptr) return 55;
  ClearPendingFlags();
  if (uFileCnt == 0) return 0;

  for (unsigned int i = 0; i < uFileCnt; ++i) {
    std::string source = JoinPath(pFirmwarePath, cFileList[i]);
    std::string destination = JoinPath(pExecutionPath, cFileList[i]);
    const std::string& longer =
        source.size() > destination.size() ? source : destination;
    if (longer.size() > kMaxStagePath) {
      QREPORT(1, "ERROR : path \"%s\" is longer than %zu characters - "
              "nothing staged", longer.c_str(), kMaxStagePath);
      return EXECERROR_HandlerError;
    }
  }

  for (unsigned int i = 0; i < uFileCnt; ++i) {
    std::string szSrcFile = JoinPath(pFirmwarePath, cFileList[i]);
    std::string szDestFile = JoinPath(pExecutionPath, cFileList[i]);
    WriteLogFileA(hLogFile, "\nCopy file from \"%s\" to \"%s\"",
                  szSrcFile.c_str(), szDestFile.c_str());
    PXTool cryptTool;
    int result = 0;
    if (check == nullptr) {
      result = cryptTool.GetPXFile2File(szSrcFile.c_str(), szDestFile.c_str(),
                                        PXTool::PXDecrypt);
    } else if (!StageChecked(*check, szSrcFile, szDestFile)) {
      for (unsigned int k = 0; k <= i; ++k)
        unlink(JoinPath(pExecutionPath, cFileList[k]).c_str());
      return EXECERROR_HandlerError;
    }
    if (result != 0) {
      int error = errno;
      QREPORT(1, "ERROR : staging \"%s\" to \"%s\" failed with result %d "
              "(errno %d)", szSrcFile.c_str(), szDestFile.c_str(), result,
              error);
      return static_cast<unsigned int>(result);
    }
    if (IsExecutableName(szDestFile)) chmod(szDestFile.c_str(), 0700);
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
