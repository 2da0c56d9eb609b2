#include "run_status.h"

#include <errno.h>

#include <new>
#include <string>

#include "flags.h"
#include "process.h"
#include "report.h"
#include "status_file.h"

void SetExecStatus(int execstatus, int ret) {
  if (status != 4) status = execstatus;
  // Nothing here may need memory: the status is also written when the run
  // ends for lack of it. Only a refusal's reason (a planted temporary or
  // status file) is a string; without memory for it, that way counts as
  // failed.
  char dir[CProcess::kCurrentDirSize];
  CProcess::GetCurrentDir(dir);
  QREPORT(2, QUILLON_LOG_STATUS_UPDATE, dir, "/", kStatusFileName, status, ret);
  char text[kStatusTextSize];
  FormatStatusFile(status, ret, text);
  std::string why;
  int error, syncError = 0;
  try {
    error = ReplaceStatusFile(text, &syncError, &why);
  } catch (const std::bad_alloc&) {
    error = ENOMEM;
  }
  if (error == 0) {
    if (syncError != 0)
      QREPORT(1, "ERROR : directory of status file \"%s\" could not be "
              "flushed to disk (errno %d) - the new status may not survive a "
              "power cut", kStatusFileName, syncError);
    return;
  }
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
  bool removed = RemoveStatusFile();
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
