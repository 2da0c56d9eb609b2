// The suite-wide trace object.
//
// A process has one CDebug (here the global `Debug`, application name
// "Quillon"). Every entry passes a level gate (a message of level L is
// written when L <= the configured level), gets an entry header (local time
// with milliseconds, thread id, optionally the resident memory in KB, module
// name) and goes to the current target: 0 nothing, 1 the trace log file
// "<trace dir>/log.<name>" (debug_log_file.cc), 2 the ring-buffer file
// "<trace dir>/log.<name>_a" (debug_ring_buffer.cc). The settings come from
// environment variables, then the ".ini" files of the configuration
// directory, then built-in defaults (debug_config.cc; debug_trace_path.h for
// the trace directory). Tracing is on only when a level, a ring-buffer size
// factor and a size weight are all configured.
//
// What survives a crash: every log-file entry is flushed at once; ring
// entries survive a crash of the process but not a power cut.
//
// Every descriptor the object owns lies at 256 or above and is
// close-on-exec: a program may close its low descriptors after start
// without disturbing the trace, and commands it starts inherit nothing.
// Both files are private and never a symbolic link, a file with several
// links or one of another user: such a file is refused, left untouched, and
// the trace goes on without it. SIGXFSZ never ends the process while the
// object writes its files: the write fails with EFBIG instead.
//
// Threads: every operation that touches shared state holds the object's
// recursive lock. The trace object reports its own failures only to the
// system log or its log file; it never throws.

#ifndef INCLUDE_LINUX_CDEBUG_H_
#define INCLUDE_LINUX_CDEBUG_H_

#include <sys/types.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <ctime>

#include "critical_section.h"
#include "debug_trace_config_file.h"
#include "debug_trace_path.h"  // the trace directory and the files' paths

// Trace targets kept in CDebug::m_Target.
enum {
  TRACE_TARGET_NONE = 0,
  TRACE_TARGET_LOGFILE = 1,
  TRACE_TARGET_RINGBUFFER = 2,
};

// Modes of the trace files, whatever the umask: the log file is private;
// the ring buffer has the mode it has always been created with, and the
// trace directory (root's own) is what keeps others out of it.
const mode_t kTraceFileMode = 0600;
const mode_t kRingFileMode = 0700;
// Ring-buffer weights above kMaxRingWeight (QZ_LOG_RINGBUF_WEIGHT, -1
// included, or the configuration file) are replaced by kDefaultRingWeight,
// and the system log says so. 0 still means no ring buffer. With the factor
// of at most 2 and 4 KiB pages the ring is at most 128 MiB.
const unsigned kMaxRingWeight = 64;
const unsigned kDefaultRingWeight = 1;
// Free space the ring buffer leaves on its file system. A ring that does not
// fit is made smaller, in steps of page size x 256; when not even one step
// fits, no ring buffer is set up.
const size_t kRingFreeSpaceMargin = size_t{64} << 20;

// A name and its environment value as captured by CDebug::Init (null when
// unset). The values are shown in the header block only.
typedef struct s_tokval {
  const char* pToken;
  char* pValue;
} tokval_t;

// The suite's environment variables (41 rows) and setting names (13 rows),
// each table ended by a row with a null name.
extern tokval_t TokValTabEnv[42];
extern tokval_t TokValTabCfg[14];

// Settings shared by every trace object: the level gate, the trace flags
// and the application name.
class CDebugTraceConfig {
 public:
  CDebugTraceConfig();
  ~CDebugTraceConfig();

  CDebugTraceConfig(const CDebugTraceConfig&) = delete;
  CDebugTraceConfig& operator=(const CDebugTraceConfig&) = delete;

  // Null until a name is set.
  const char* GetName() const { return m_pAppName; }
  // Replaces the name with a copy of `pName` (null clears it). False when
  // no copy can be made; the old name is then kept.
  bool SetName(const char* pName);
  bool IsEnabled() const { return m_Enabled; }
  void SetEnabled(bool enabled) { m_Enabled = enabled; }
  unsigned GetLevel() const { return m_Level; }
  void SetLevel(unsigned level) { m_Level = level; }
  unsigned GetTraceFlags() const { return m_TraceFlags; }

  // The configured-value rule. When the environment variable `pEnvName` is
  // set, its value is read as a signed decimal number (leading digits; no
  // digits give 0) and stored as 32 bits. Otherwise `configured` is used
  // unless it is 0xFFFFFFFF, else `defaultValue`.
  void SetConfiguredValue(const char* pEnvName, unsigned configured,
                          unsigned defaultValue, unsigned* pValue);
  // The same for text: the environment value, else `pConfigured` unless it
  // is empty, else `pDefault`; at most 255 characters and size - 1, always
  // terminated.
  void SetConfiguredValue(const char* pEnvName, const char* pConfigured,
                          const char* pDefault, char* pValue, size_t size);

 protected:
  unsigned m_Level = 0;             // the gate
  unsigned m_LevelSaved = 0;        // level established by initialisation
  unsigned m_RegDebugLevel = ~0u;   // FileDebugLevel of the configuration file
  unsigned m_TraceFlags = 0;        // TraceFlags, kept for callers only
  unsigned m_MemoryTracesFlag = 0;  // 0 and unused; CDebug has its own
  bool m_Enabled = false;
  char* m_pAppName = nullptr;  // owned; null until Init
};

class CDebug : public CDebugTraceConfig {
 public:
  // An object in its initial state: no target, level 0, no files.
  CDebug();
  // Calls Init(pApplicationName) when the name is non-empty. A failed Init
  // is reported to the system log; construction never fails.
  explicit CDebug(const char* pApplicationName);
  // As above, reading the configuration from `pConfigDir` and using
  // `pDefaultTraceDir` when no trace directory is configured (null keeps
  // the shipped default). Made for tests.
  CDebug(const char* pApplicationName, const char* pConfigDir,
         const char* pDefaultTraceDir);
  // Unmaps and closes both files; writes no closing line.
  virtual ~CDebug();

  CDebug(const CDebug&) = delete;
  CDebug& operator=(const CDebug&) = delete;

  virtual bool IsMaster() const { return true; }

  // Reads the configuration, opens the log file (emptied) and, when a
  // level, factor and weight are configured, creates or reuses the ring
  // buffer and makes it the target. Returns false for a null name (nothing
  // changes) or when the ring buffer cannot be set up (tracing is then
  // off). A configured level of 0 gives true with tracing off.
  virtual bool Init(const char* pApplicationName);

  void SetTarget(unsigned target) { m_Target = target; }

  // Writes one entry to the current target when MsgLevel <= the level. A
  // null format writes nothing. Runs the configuration re-check first when
  // it is due.
  virtual void Print(unsigned MsgLevel, const char* pFormat, ...)
      __attribute__((format(printf, 3, 4)));
  void PrintV(unsigned MsgLevel, const char* pFormat, va_list pArguments);
  // No level gate: to the ring buffer when it is the target, and to the log
  // file in every case (even with tracing off).
  virtual void PrintAlways(const char* pFormat, ...)
      __attribute__((format(printf, 2, 3)));
  virtual void PrintAlways(unsigned MsgLevel, const char* pFormat, ...)
      __attribute__((format(printf, 3, 4)));
  virtual void PrintAlwaysV(const char* pFormat, va_list pArguments,
                            const char* pDebugModuleName);
  // No level gate: to the current target, under `pDebugModuleName`.
  virtual void ClientPrintV(const char* pFormat, va_list pArguments,
                            const char* pDebugModuleName);

  // Keeps the command line (not copied: it must outlive the object) and
  // writes it to the log file, and to the ring buffer when that is the
  // target. Header blocks written at a wrap repeat it.
  void SetMainParams(int argc, char** argv);
  // Marks the end of the program's initialisation: a log-file wrap goes
  // back to the current log offset from now on, and, when the ring buffer
  // has not wrapped and more than 1 MiB of it remains, a ring wrap resumes
  // behind an "End of initialization" entry, so the entries written so far
  // survive every wrap.
  void SetApplInitDone();
  // false: level 0, tracing off. true: restores the level set up by
  // initialisation. The target is unchanged. Returns true.
  bool ForceMaxDebug(bool value);

  // Configuration seams, to be set before Init.
  void SetConfigDirectory(const char* pDir);
  void SetDefaultTraceDirectory(const char* pDir);

  unsigned GetTarget() const { return m_Target; }
  const char* GetTraceDirectory() const { return m_RingBufDir; }
  const char* GetLogFilePath() const { return m_LogFilePath; }
  const char* GetRingBufferPath() const { return m_RingBufFilePath; }
  int GetLogFileDescriptor() const;  // -1 when no log file is open
  int GetRingBufferDescriptor() const { return m_RingBufFD; }
  size_t GetRingBufferSize() const { return m_RingBufSize; }
  size_t GetRingBufferWritePosition() const { return m_LogCountCurrent; }
  size_t GetRingBufferInitDonePosition() const { return m_LogCountAppInitDone; }
  unsigned GetWrapCount() const { return m_WrapCount; }
  unsigned GetNumberOfOpens() const { return m_NumberOfOpens; }
  unsigned GetLogMaxSize() const { return m_LogMaxSize; }
  unsigned GetDynamicUpdateSeconds() const { return m_DynamicUpdateSeconds; }
  unsigned GetMemoryTracesFlag() const { return m_MemoryTracesFlag; }
  unsigned GetNoHeaderToStderr() const { return m_NoHeaderToStderr; }
  unsigned GetRingBufferFactor() const { return m_RingBufFactor; }
  unsigned GetRingBufferWeight() const { return m_RingBufWeight; }
  const char* GetStartTime() const { return m_StartTime; }

  // Formats the entry header into `entryHeader` (at most len - 1
  // characters) and returns its length: "<time> [<thread>] <module> " with
  // the module padded to 13 columns, or, with the memory figure,
  // "<time> [<thread>] <rss> KB !<module> ".
  int SetEntryHeader(char* entryHeader, size_t entryHeaderLength,
                     const char* pDebugModuleName);
  // Appends "_" and the upper-cased name to `varName` while it stays below
  // len - 1 characters. A null or empty name changes nothing.
  static void BuildAppVarName(char* varName, size_t len,
                              const char* pApplicationName);
  // Lower-cases in place; returns its argument.
  static char* StringToLower(char* pString);

 protected:
  // Initial state of every field.
  void ClassInit();
  // Settings from the configuration directory and the environment.
  // Always true.
  bool ReadDebugConfig(const char* pApplicationName);
  // Reads changed configuration files again (the interval is checked by
  // the caller). REQUIRES: the lock is held.
  void RecheckDebugConfig();

  // Sends one entry to `Target` (0: the current target). REQUIRES: the lock
  // is held, or the caller is Init.
  void PrintIt(unsigned Target, const char* pFormat, ...)
      __attribute__((format(printf, 3, 4)));
  void PrintToLogFile(const char* pFormat, ...)
      __attribute__((format(printf, 2, 3)));
  // Room of an entry's header, and of its text (1024 characters and the
  // terminator), in m_InternalDebugBuffer.
  static const size_t kEntryHeaderRoom = 128;
  static const size_t kEntryTextRoom = 1025;
  // `pFormat` without its leading line ends, unless it is nothing else.
  static const char* EntryFormat(const char* pFormat);
  // Formats one entry into m_InternalDebugBuffer: its header, then the text
  // of EntryFormat(pFormat), cut to fit kEntryTextRoom. Returns the header's
  // length and sets *textLength to the length of the text uncut.
  // REQUIRES: the lock is held, or the caller is Init.
  size_t FormatEntry(const char* pFormat, va_list pArguments,
                     const char* pDebugModuleName, size_t* textLength);
  void TraceToLogFile(const char* pFormat, va_list pArguments,
                      const char* pDebugModuleName);
  void TraceToRingBuffer(const char* pFormat, va_list pArguments,
                         const char* pDebugModuleName);
  bool InitRingBuffer(const char* RingBufferName, size_t RingBufferSize);
  void WriteLogHeader(unsigned Target);

 private:
  void Construct(const char* pApplicationName);
  // Opens m_LogFilePath emptied, above descriptor 255; null on failure.
  static FILE* OpenLogFile(const char* path);
  // Reads a 16-digit decimal field of the ring header.
  unsigned long ReadRingHeaderNumber(size_t offset) const;
  // Copies one finished entry into the ring at the write position,
  // wrapping when it does not fit. REQUIRES: the lock is held.
  void PutRingEntry(const char* entry, size_t length);
  // Releases the ring buffer after a failed set-up.
  void CloseRingBuffer();
  // One message to the system log at error priority. The connection is
  // closed again at once: a descriptor left open would be closed behind
  // the log's back when the program closes its low descriptors, and its
  // number reused for one of the program's own files.
  static void ReportToSystemLog(const char* pFormat, ...)
      __attribute__((format(printf, 1, 2)));

  CDebugTraceConfigFile m_DebugGlobalConfigFile;  // global_trace.ini
  CDebugTraceConfigFile m_DebugConfigFile;  // file with the app's section
  unsigned m_DynamicUpdateSeconds;  // re-check interval; 0 = none
  time_t m_LastUpdateTimeStamp;     // time of the last re-check
  CSPINLOCK m_SpinLockDebug;
  pid_t m_mypid;
  int m_MyArgc;
  char** m_MyArgv;  // not owned
  char m_StartTime[42];
  unsigned m_Target;
  bool m_ApplicationInitDone;
  int m_RingBufFD;  // -1 when closed
  unsigned m_RingBufFactor;
  unsigned m_RingBufWeight;
  size_t m_RingBufSize;
  size_t m_LogCountAppInitDone;  // ring restart point; 0 = not marked
  size_t m_LogCountCurrent;      // ring write position
  char m_InternalDebugBuffer[1312];
  char* m_RingBuffer;  // the mapping; null when not mapped
  unsigned m_WrapCount;
  char m_RingBufFilePath[256];
  unsigned m_NoHeaderToStderr;
  unsigned m_RegTraceFileFactor;
  unsigned m_RegTraceFileWeight;
  char m_RegRingBufDir[256];
  unsigned m_RegNoHeaderToStderr;
  unsigned m_IniDynamicUpdateSeconds;
  unsigned m_MemoryTracesFlag;  // non-zero: memory figure in entry headers
  bool m_RingBufferReuse;
  unsigned m_NumberOfOpens;
  char m_RingBufDir[256];  // the trace directory
  size_t m_EndMarkerSize;
  char m_EndMarkerString[64];
  char m_LogFilePath[256];
  FILE* m_LogFilePtr;
  long m_LogPosInitEnd;  // log restart point
  unsigned m_LogMaxSize;
  unsigned m_LogByteCntInitEnd;
  unsigned m_LogCurrentByteCnt;
  int m_CycleCnt;  // log-file wraps

  // Seams and guards of this implementation.
  char m_ConfigDir[256];         // configuration directory
  char m_DefaultRingBufDir[256];  // trace directory when none is configured
  bool m_WritingWrapHeader;       // a ring wrap is writing its header block
};

typedef CDebug CDEBUG;

// The process's one trace object. In the Quillon executables it is built
// before main with the application name "Quillon" and destroyed after main
// returns (debug_global.cc); every other program that links the library
// (tests, fuzz targets, benchmarks, pxtool) gets an object that never opens
// a file (debug_global_inert.cc).
extern CDEBUG Debug;

#endif  // INCLUDE_LINUX_CDEBUG_H_
