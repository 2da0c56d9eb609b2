// Return-code flags: how a package says a command's return code is judged.
//
// A flags line ("flag abort_ne 0 Delayed omit_ret_codes 3010,3011;") sets the
// pending flags in piFlags (quillon.h), replacing every flag set before. The
// next command that is judged, run or skipped, consumes them all: checkFlags
// compares its return code with each pending flag in slot order, performs
// the effects of those that fire (abort, reboot, delayed reboot, conditions)
// and returns the verdict. Conditions (delayedReboot, notSupportedOS, ...)
// accumulate over the whole run and shape its final code.

#ifndef QUILLON_FLAGS_H_
#define QUILLON_FLAGS_H_

#include <cstdio>

#include "judge.h"

// Replaces all pending flags by those named in the flags text (the text after
// "flag" and its separator) and sets cmdRet to 0. Returns 0. Raises
// EXECERROR_NoMemory (as an unsigned int) when memory runs out, after
// printing "Can't alloc memory" to `debugOutput` with "-d" (the run passes
// its private duplicate of the caller's standard output, descriptors.h).
unsigned int DoItYourselfCmdA(char* cCommand, FILE* debugOutput);
// The suite's form, which keeps its one-argument signature: the same,
// printing to standard output.
unsigned int DoItYourselfCmdA(char* cCommand);

// Judges return code Sysret against the pending flags and empties them.
// Returns 0 go on, 2 abort, 5 reboot, 6 reboot suppressed, 16 no adequate
// hardware, 17 incorrect target system; in autonomic mode translated to
// 0, 8, 2, 16, 17 or 55. A reboot flag that fires outside autonomic mode and
// without agt_no_reboot hands a reboot request over at once (DoAReboot).
int checkFlags(unsigned int Sysret);

// The run's conditions and failure code (its globals) as a value.
Conditions CurrentConditions();

// One code of an omit list in base `base`: -1 for an empty text or one with
// characters after the number, the low 32 bits of the value otherwise,
// negated for a leading "-". Trailing blanks and line feeds are cut off
// `string` in place. A number beyond the range of unsigned long ends the
// process with exit status 1 after a "strtoul" report on standard error.
int string2intA(char* string, int base);

#endif  // QUILLON_FLAGS_H_
