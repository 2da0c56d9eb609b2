// Staging of package files into the execution directory, and the clean-up
// after the run.
//
// Staging copies every listed package file from the package directory into
// the execution directory, decoding scrambled files on the way (see
// px_tool.h), and gives copies whose last "." starts ".exe" mode 0700. It is
// all or nothing as far as the run is concerned: any file that cannot be
// staged exactly ends staging with a failure, so that no command ever runs
// on an incompletely staged package.

#ifndef QUILLON_STAGING_H_
#define QUILLON_STAGING_H_

#include <cstddef>

class PXSourceObserver;

// A check of every package file while it is staged (the package signature,
// see package_trust.h). Begin gives the observer that sees the source's
// bytes as the codec reads them (null: the file may not be staged), End
// says whether what it saw is right. A failing check has reported why.
class StagingCheck {
 public:
  virtual ~StagingCheck() = default;
  virtual PXSourceObserver* Begin(const char* source) = 0;
  virtual bool End(const char* source) = 0;
};

// Room of the buffer that receives the directory of the program's path.
const size_t kWrpPathSize = 1025;

// Clears the pending flags and stages cFileList from pFirmwarePath into
// pExecutionPath. Returns 0; 55 for a null path; otherwise the failure code
// of the first file that could not be staged (the codec's result), or
// EXECERROR_HandlerError when a path is longer than kMaxStagePath (stage_paths.h) (checked
// for every file before any is copied). Each failure is logged with the
// file it concerns. With a `check`, a file it refuses ends staging with
// EXECERROR_HandlerError, and every copy staged so far is removed first.
unsigned int InitRunA(const char* pExecutionPath, const char* pFirmwarePath,
                      StagingCheck* check = nullptr);

// Deletes the staged copies (from the current directory) unless `keep`, and
// releases the file list, pExecPath and pFwPath. Returns 0.
unsigned int CompleteRun(bool keep);

// The directory part of `input` (a program path) into `output`, which has
// room for kWrpPathSize characters. False, output untouched, for a null or
// empty input, one without "/", or one too long for the buffer.
bool Get_WRP_Path(const char* input, char* output);

#endif  // QUILLON_STAGING_H_
