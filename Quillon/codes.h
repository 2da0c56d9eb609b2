// The codes a run speaks in: the handler's own error codes, the verdicts
// of a judged command, and the sizes the run's buffers and lists are bound
// by. Part of the package model; quillon.h hands them on to the run.

#ifndef QUILLON_CODES_H_
#define QUILLON_CODES_H_

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

// Sizes of the external value buffers (including the terminating zero).
enum {
  EXTERNAL_OPTION_SIZE = 512,
  EXTERNAL_RESET_SIZE = 32,
  EXTERNAL_PARAMETER_SIZE = 16,
  MAX_PACKAGE_FILES = 50,
};

#endif  // QUILLON_CODES_H_
