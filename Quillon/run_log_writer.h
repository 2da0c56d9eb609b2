// Writing the run log (run_log.h: its name, layout and the texts of its
// lines): opening it, its header block and the line writers the run's
// reports go through (report.h).
//
// Every message is flushed to the kernel as soon as it is written, so the
// log is complete up to its last message when the process dies. It is not
// fsync'ed: a power cut may lose the last lines. Writers do nothing when
// handed a null file, so callers need not test whether a run log is open.

#ifndef QUILLON_RUN_LOG_WRITER_H_
#define QUILLON_RUN_LOG_WRITER_H_

#include <cstdio>
#include <ctime>
#include <string>

#include "run_log.h"

// Writes one message with the layout of run_log.h and flushes. Returns
// false, and writes nothing, for a null file, a null message or an empty
// message.
bool LogFileWriteLine(FILE* file, const char* pMessage);

// Format the message and hand it to LogFileWriteLine; a message that formats
// to nothing is not written. They never raise: they are what reports a lack
// of memory. A message of 924 characters or more that finds no memory for
// its formatting is written cut to 1023.
void WriteLogFile(FILE* hFile, const char* pFormat, ...)
    __attribute__((format(printf, 2, 3)));
void WriteLogFileA(FILE* hFile, const char* pFormat, ...)
    __attribute__((format(printf, 2, 3)));

// Opens the run log (kRunLogName) in the current directory for appending (created when
// missing with mode 0644, close-on-exec). Returns null when it cannot be
// opened, or when the name holds a symbolic link or a file that is not this
// user's own regular file with one link (`why` then says what was found):
// such a file is never appended to.
FILE* OpenRunLog(std::string* why);

// Writes the header block that opens every run's part of the log: the
// version, the time of `startTime` (the run's output file, run_output.h,
// shows the same stamp for the run), every argument, the working directory
// and the external values given on the command line.
void WriteLogHeader(FILE* file, int argc, char** argv,
                    const std::string& workingDirectory, time_t startTime);

#endif  // QUILLON_RUN_LOG_WRITER_H_
