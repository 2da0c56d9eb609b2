// Quillon's chief header: the run-wide state of one update run.
//
// A run is one process on one thread. Everything that the run driver and the
// command execution share lives here as plain process globals: the mode
// switches and external values taken from the command line, the basic
// parameters read from the argument file, the pending return-code flags and
// the condition flags that the judgements accumulate. Nothing here is locked;
// only the run's single thread touches it.

#ifndef QUILLON_QUILLON_H_
#define QUILLON_QUILLON_H_

#include <cstdio>

// QUILLON_VERSION_MAJOR, _MINOR, _PATCH: generated from the project version.
#include "quillon_version.h"

// The handler's error codes, the verdicts and the buffer sizes (codes.h),
// and the keywords of a flags line (keywords.h), belong to the package
// model below this header.
#include "codes.h"
#include "keywords.h"

// --- Command line (filled by evaluateCmdlineOptions) -----------------------
extern const char* pArgFileName;  // "px.arg" unless the command line names one
extern char externalOptionBuffer[EXTERNAL_OPTION_SIZE];
extern char externalResetBuffer[EXTERNAL_RESET_SIZE];
extern char externalParameterBuffer[EXTERNAL_PARAMETER_SIZE];
extern bool debug;
extern bool autonomic;
extern bool force;
extern bool update;
extern bool expert;
extern bool reset;
extern bool externalOption;
extern bool externalParameter;
extern bool agt_no_reboot;

// --- Run driver ------------------------------------------------------------
extern char* pExecPath;  // execution directory (heap copy), freed by CompleteRun
extern FILE* hLogFile;   // the open run log, or null

// --- Basic parameters (filled by ReadBasicParamsA) --------------------------
extern char* pFwPath;  // package source directory (heap array)
extern char* cFileList[MAX_PACKAGE_FILES];
extern unsigned int uFileCnt;

// --- Return-code flags and their outcome -------------------------------------
// Pending flags: an empty slot is null. Slot omit_ret_codes holds a char array
// (the list text); every other slot holds one heap-allocated unsigned value.
extern void* piFlags[MAX_FLAGS];
extern const char* const (&flag_name)[MAX_FLAGS];  // kFlagNames

extern bool delayedReboot;
extern bool acCycle;
extern bool powercycle;
extern bool wrongPriorVersion;
extern bool unfullfilledPrerequisite;
extern bool noDowngrade;
extern bool noUpdate;
extern bool notSupportedSubSys;
extern bool noAdequateHW;
extern bool notSupportedOS;
extern bool kernelModuleMissing;
extern bool pkgMissing;
extern bool incorrectTarget;
extern bool bitLockerBlocked;
extern bool trustedExeTecBlocked;
extern bool notOmitFlags;
extern int cmdRet;

// --- Status file -------------------------------------------------------------
extern int status;  // stage reached: 0, 3, 4 (sticky) or 5

// Puts every global above back to its initial value and releases what the
// heap-owned ones hold. A process runs once; tests call this between cases.
void ResetRunGlobals();

// Releases every pending flag and empties piFlags.
void ClearPendingFlags();

#endif  // QUILLON_QUILLON_H_
