// The reboot-required marker: a run that ends with a reboot due that it did
// not carry out itself tells the host's other tools so, the way Debian
// packages do. It creates "<dir>/reboot-required" (an empty file) and adds
// the line "quillon" to "<dir>/reboot-required.pkgs" unless it is there
// already; <dir> is "/run" (a test build points it elsewhere).
//
// A reboot is due and not carried out when the final code says so:
//  - outside autonomic mode, a delayed reboot (bit 0x100000) or a reboot
//    suppressed by -n, local mode or autonomic settings (the verdict 6, with
//    or without that bit);
//  - in autonomic mode, the delayed-reboot condition code 1.
// A reboot handed to the reboot program (status 4, verdict 5) is carried
// out, so it leaves no marker.
//
// Both files are written without following a symbolic link: a name that is
// a link, not a regular file, has more than one link or belongs to another
// user is refused (see safe_file.h). The list is extended by one append of
// "quillon\n" under an exclusive flock, so two runs never list it twice.
// A failure is reported to the system log (system_log.h) only; the run log, the
// status file, the standard streams and the exit code stay as they are.

#ifndef QUILLON_REBOOT_MARKER_H_
#define QUILLON_REBOOT_MARKER_H_

#include "system_log.h"

// The marker's directory in the shipped program.
extern const char kRebootMarkerDirectory[];  // "/run"

// Whether a run with this final code ends with a reboot due that it did
// not carry out.
bool RebootLeftUndone(unsigned int finalCode, bool autonomicRun);

// Writes the marker into `directory`. 0, or an errno value with `what`
// (at least 160 bytes) saying which file and why.
int WriteRebootMarker(const char* directory, char* what, unsigned whatSize);

// The run's last step: writes the marker into `directory` when
// RebootLeftUndone, and reports a failure to `log`. Never throws.
void MarkRebootIfLeftUndone(unsigned int finalCode, bool autonomicRun,
                            const char* directory, const SystemLog& log);

#endif  // QUILLON_REBOOT_MARKER_H_
