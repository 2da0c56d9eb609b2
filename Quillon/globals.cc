// Definitions of the run-wide globals declared in quillon.h, and the version
// record that identifies the program to inspection tools.

#include "quillon.h"

#include <cstdlib>
#include <cstring>

#include "arg_grammar.h"

const char* pArgFileName = kDefaultArgFileName;
char externalOptionBuffer[EXTERNAL_OPTION_SIZE];
char externalResetBuffer[EXTERNAL_RESET_SIZE];
char externalParameterBuffer[EXTERNAL_PARAMETER_SIZE];
bool debug = false;
bool autonomic = false;
bool force = true;
bool update = false;
bool expert = false;
bool reset = false;
bool externalOption = false;
bool externalParameter = false;
bool agt_no_reboot = false;

char* pExecPath = nullptr;
FILE* hLogFile = nullptr;

char* pFwPath = nullptr;
char* cFileList[MAX_PACKAGE_FILES];
unsigned int uFileCnt = 0;

void* piFlags[MAX_FLAGS];
const char* const (&flag_name)[MAX_FLAGS] = kFlagNames;

bool delayedReboot = false;
bool acCycle = false;
bool powercycle = false;
bool wrongPriorVersion = false;
bool unfullfilledPrerequisite = false;
bool noDowngrade = false;
bool noUpdate = false;
bool notSupportedSubSys = false;
bool noAdequateHW = false;
bool notSupportedOS = false;
bool kernelModuleMissing = false;
bool pkgMissing = false;
bool incorrectTarget = false;
bool bitLockerBlocked = false;
bool trustedExeTecBlocked = false;
bool notOmitFlags = false;
int cmdRet = 0;

int status = 0;

// Version record: read by inspection tools (strings, what), never by code.
extern const char OrmQZObjectName[] = "Quillon";
extern const char OrmQZObjectDescription[] = "Quillon Utility";
extern const char OrmQZObjectPath[] = "/etc/oxbeam/Quillon";
extern const char OrmQZObjectDate[] = "2024/02/22-14:43";
extern const char OrmQZObjectVersion[] = "";
extern const char OrmQZObjectMilestone[] = "";
extern const char OrmQZObjectVendor[] = "Kelvane Systems";
extern const char OrmQZObjectLegalCopyright[] =
    "Copyright (c) 2024 Kelvane Systems. All rights reserved.";

void ResetRunGlobals() {
  pArgFileName = kDefaultArgFileName;
  memset(externalOptionBuffer, 0, sizeof(externalOptionBuffer));
  memset(externalResetBuffer, 0, sizeof(externalResetBuffer));
  memset(externalParameterBuffer, 0, sizeof(externalParameterBuffer));
  debug = autonomic = update = expert = reset = false;
  externalOption = externalParameter = agt_no_reboot = false;
  force = true;

  free(pExecPath);
  pExecPath = nullptr;
  hLogFile = nullptr;
  delete[] pFwPath;
  pFwPath = nullptr;
  for (unsigned i = 0; i < MAX_PACKAGE_FILES; ++i) {
    free(cFileList[i]);
    cFileList[i] = nullptr;
  }
  uFileCnt = 0;

  ClearPendingFlags();
  delayedReboot = acCycle = powercycle = wrongPriorVersion = false;
  unfullfilledPrerequisite = noDowngrade = noUpdate = false;
  notSupportedSubSys = noAdequateHW = notSupportedOS = false;
  kernelModuleMissing = pkgMissing = incorrectTarget = false;
  bitLockerBlocked = trustedExeTecBlocked = notOmitFlags = false;
  cmdRet = 0;
  status = 0;
}
