// The run's descriptor hygiene.
//
// Quillon is started by agents that may hand it any set of open descriptors.
// Before it opens anything of its own it closes descriptors 0 to 255 and
// puts /dev/null on 0, 1 and 2, so that neither the commands it runs nor its
// own output can land in the run log, the status file or the argument file
// (which would otherwise take the lowest free numbers). Everything the run
// opens afterwards is close-on-exec. The caller's standard output survives
// only as a private close-on-exec duplicate above 255, handed back to the
// run for the diagnostics of "-d".

#ifndef QUILLON_DESCRIPTORS_H_
#define QUILLON_DESCRIPTORS_H_

#include <cstdio>

// Closes descriptors 0 to 255 and reopens 0, 1 and 2 on /dev/null; marks
// every descriptor from 256 up close-on-exec (the caller's as well as the
// trace object's), so that a command gets exactly 0, 1 and 2. When
// keepStdout is true, standard output is first duplicated above 255 and
// *debugOutput receives a stream on that duplicate, which the caller owns
// (fclose); otherwise, or when no duplicate could be had, *debugOutput is
// null. Returns 0, or the errno of a failure to put /dev/null on 0, 1 and
// 2: the run must then start no command, which could write into whatever
// file takes those numbers.
int CloseInheritedDescriptors(bool keepStdout, FILE** debugOutput);

#endif  // QUILLON_DESCRIPTORS_H_
