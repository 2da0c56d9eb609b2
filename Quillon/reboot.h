// The reboot request. Quillon never restarts the machine itself: it records
// status 4 in the status file (flushed to disk first, since the next thing
// may be a power cycle) and hands the request to the suite's reboot program
// through the shell. The run then ends normally; a run started after the
// restart resumes behind the commands already marked in the argument file.

#ifndef QUILLON_REBOOT_H_
#define QUILLON_REBOOT_H_

// The reboot program. The shipped program uses
// "/opt/QRTX/QRTXpxa/bin/help2"; a test build points it elsewhere.
extern const char* pRebootProgram;

// Writes status 4, runs "<program>  0 \"Reboot for a Firmware flash\"",
// retrying up to 19 calls in all while the shell is interrupted (EINTR), and
// returns the program's decoded return code. Failures are only logged.
unsigned int DoAReboot();

#endif  // QUILLON_REBOOT_H_
