// Quillon's chief header: the run-wide state of one update run.
//
// A run is one process on one thread. Everything that the run driver and the
// command execution share lives here as plain process globals: the mode
// switches and external values taken from the command line, the basic
// parameters read from the argument file, the pending return-code flags and
// the condition flags that the judgements accumulate. Nothing here is locked;
// only the run's single thread touches it.
//
// The handler's own error codes and the command verdicts are here too,
// because the run driver, the command runner and the status file all speak
// in them.

#ifndef QUILLON_QUILLON_H_
#define QUILLON_QUILLON_H_

#include <cstddef>
#include <cstdio>

// QUILLON_VERSION_MAJOR, _MINOR, _PATCH: generated from the project version.
#include "quillon_version.h"

// Handler error codes. Every failure of the run driver itself ends the run
// with EXECERROR_HandlerError; the others are reported by the reading of the
// basic parameters and by memory shortage in the flag handling.
enum EXECERROR {
  EXECERROR_NoError = 0,
  QUILLON_EXECERROR_BEGIN = 0x22030000,
  EXECERROR_Warning,            // 0x22030001, not produced
  EXECERROR_Error,              // 0x22030002, not produced
  EXECERROR_HandlerError,       // 0x22030003
  EXECERROR_CorruptedParaFile,  // 0x22030004
  EXECERROR_NoMemory,           // 0x22030005
  EXECERROR_MissingFileList,    // 0x22030006, not produced
  EXECERROR_MissingFwPath,      // 0x22030007
  EXECERROR_NotMyDady,          // 0x22030008, not produced
  QUILLON_EXECERROR_END         // 0x22030009
};

// Verdicts of a judged command (outside autonomic mode).
enum JL_CSTATE {
  JLCSTATE_OK = 0,
  JLCSTATE_Warning = 1,
  JLCSTATE_Error = 2,
  JLCSTATE_DOSErr = 3,
  JLCSTATE_DOSAborted = 4,
  JLCSTATE_Reboot = 5,
  JLCSTATE_Reboot_Suppressed = 6,
  JLCSTATE_Last = 7
};

// The return-code flags of a flags line, by their slot in piFlags. The words
// of a flags line are the enumerator names (see flag_name).
enum flags {
  abort_ne = 0,
  abort_eq,
  abort_gt,
  abort_lt,
  Reboot,
  reboot_ne,
  reboot_eq,
  reboot_gt,
  reboot_lt,
  Delayed,
  delayed_ne,
  delayed_eq,
  delayed_gt,
  delayed_lt,
  ac_cycle,
  powercycle_eq,
  wrong_prior_version,
  unfullfilled_prerequisite,
  no_downgrade,
  no_update,
  omit_update_eq,
  not_supported_SubSys,
  no_adequate_HW,
  not_supported_OS,
  kernel_module_missing,
  pkg_missing,
  incorrect_target_system,
  bitlocker_blocked,
  txt_blocked,
  omit_ret_codes,
  not_omit_flags,
  extraction_fail,
  drv_inst_fail,
  sw_inst_fail,
  pfr_blocked_eq,
  sdcard_error_eq,
  recoveryupdate_error_eq,
  MAX_FLAGS  // 37
};

// Sizes of the external value buffers (including the terminating zero).
enum {
  EXTERNAL_OPTION_SIZE = 512,
  EXTERNAL_RESET_SIZE = 32,
  EXTERNAL_PARAMETER_SIZE = 16,
  MAX_PACKAGE_FILES = 50,
};

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
extern const char* const flag_name[MAX_FLAGS];

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
