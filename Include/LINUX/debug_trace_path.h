// Where the trace files of an application lie.
//
// Both trace files are in one trace directory, chosen in this order:
//   1. the environment variable QZ_LOG_RINGBUF_DIR when it is set (an empty
//      value counts);
//   2. the key RingBufferDirectory of the application's section, read from
//      the alphabetically first ".ini" file of the configuration directory
//      that holds the section (a file without its "[EndOfFile]" marker
//      holds nothing), when that value is not empty;
//   3. the default trace directory.
// The directory is kept to 255 characters. In it, the log file is
// "log.<name>" and the ring-buffer file "log.<name>_a", with the
// application name in lower case.
//
// The trace object (cdebug.h) reads its directory through these functions
// while it reads the rest of its settings; readers of the trace (pxtool)
// call GetConfiguredRingBufferPath, which needs neither the trace object nor
// the process's global one and opens, creates or empties no trace file.

#ifndef INCLUDE_LINUX_DEBUG_TRACE_PATH_H_
#define INCLUDE_LINUX_DEBUG_TRACE_PATH_H_

#include <cstddef>
#include <string>

class CDebugTraceConfigFile;

// Where the configuration files are looked for, and the trace directory
// when nothing else is configured.
extern const char kTraceConfigDirectory[];   // "/etc/norvale/KelvaneSuite/TraceConfig"
extern const char kDefaultTraceDirectory[];  // "/var/log/oxbeam"

// Room for a trace directory or a trace file's path, terminator included.
const size_t kTracePathSize = 256;

// The configured-value rule for text: the value of the environment
// variable `pEnvName` when it is set, else `pConfigured` unless it is null
// or empty, else `pDefault` (null counts as empty). At most 255 characters
// and size - 1, always terminated; nothing happens for a null `pValue` or a
// size of 0.
void SetConfiguredText(const char* pEnvName, const char* pConfigured,
                       const char* pDefault, char* pValue, size_t size);

// Opens `file` on the section `pSection` of the alphabetically first ".ini"
// file in `pConfigDir` that holds it, and returns true; the record stays
// open (for the caller's other keys and for later re-checks). False, with
// the record closed, when no file holds the section or the directory
// cannot be read.
bool OpenApplicationSection(const char* pConfigDir, const char* pSection,
                            CDebugTraceConfigFile* file);

// Copies the RingBufferDirectory of the open section into `dir` (at most
// size - 1 characters). `dir` is unchanged when the key is missing.
void ReadConfiguredTraceDirectory(CDebugTraceConfigFile* file, char* dir,
                                  size_t size);

// The trace directory into `dir` (at most 255 characters and size - 1):
// the environment, else `pConfigured` (the section's value, empty when
// none), else `pDefaultDir`.
void ChooseTraceDirectory(const char* pConfigured, const char* pDefaultDir,
                          char* dir, size_t size);

// "<dir>/log.<lowerName><suffix>" into `dst`; the caller lower-cases the
// name. False when it does not fit: the cut text stays in `dst` for
// messages, but must not be opened, since it may name an unrelated file.
bool FormatTracePath(char* dst, size_t size, const char* dir,
                     const char* lowerName, const char* suffix);

// The ring-buffer file the settings name for `pApplicationName`, read from
// `pConfigDir` (at most 255 characters of it are used) and the
// environment, with `pDefaultDir` as the default trace directory. False,
// with `*path` unchanged, for a null or empty name, a null argument, or a
// path longer than 255 characters.
bool GetConfiguredRingBufferPath(const char* pApplicationName,
                                 const char* pConfigDir,
                                 const char* pDefaultDir, std::string* path);

#endif  // INCLUDE_LINUX_DEBUG_TRACE_PATH_H_
