// The trace object: construction, Init, the print entry points with the
// level gate, the entry header and destruction. The configuration, the log
// file, the ring buffer and the header block live in debug_config.cc,
// debug_log_file.cc, debug_ring_buffer.cc and debug_header.cc.

#include "cdebug.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "debug_ring_layout.h"
#include "process.h"

namespace {

// Copies `src` into `dst` of `size` bytes, cut and terminated.
void CopyText(char* dst, size_t size, const char* src) {
  if (size == 0) return;
  snprintf(dst, size, "%s", src != nullptr ? src : "");
}

}  // namespace

// ---------------------------------------------------------------------------
// CDebugTraceConfig

CDebugTraceConfig::CDebugTraceConfig() = default;

CDebugTraceConfig::~CDebugTraceConfig() {
  free(m_pAppName);
  m_pAppName = nullptr;
}

bool CDebugTraceConfig::SetName(const char* pName) {
  char* copy = nullptr;
  if (pName != nullptr) {
    copy = strdup(pName);
    if (copy == nullptr) return false;
  }
  free(m_pAppName);
  m_pAppName = copy;
  return true;
}

// ---------------------------------------------------------------------------
// Construction and destruction

CDebug::CDebug() { ClassInit(); }

CDebug::CDebug(const char* pApplicationName)
    : CDebug(pApplicationName, nullptr, nullptr) {}

CDebug::CDebug(const char* pApplicationName, const char* pConfigDir,
               const char* pDefaultTraceDir) {
  ClassInit();
  SetConfigDirectory(pConfigDir);
  SetDefaultTraceDirectory(pDefaultTraceDir);
  Construct(pApplicationName);
}

void CDebug::Construct(const char* pApplicationName) {
  if (pApplicationName == nullptr || *pApplicationName == '\0') return;
  // Built before main: an exception that left here would end the process.
  // Without memory the object stays switched off, as after a failed Init.
  bool ok;
  try {
    ok = Init(pApplicationName);
  } catch (const std::bad_alloc&) {
    m_Enabled = false;
    m_Target = TRACE_TARGET_NONE;
    m_Level = 0;
    m_LevelSaved = 0;
    ok = false;
  }
  if (!ok) {
    ReportToSystemLog(
        "ERROR: Error during initialization of the CDebug instance.\n");
  }
}

void CDebug::ClassInit() {
  m_DynamicUpdateSeconds = 0;
  m_LastUpdateTimeStamp = 0;
  m_mypid = 0;
  m_MyArgc = 0;
  m_MyArgv = nullptr;
  m_StartTime[0] = '\0';
  m_Target = TRACE_TARGET_NONE;
  m_ApplicationInitDone = false;
  m_RingBufFD = -1;
  m_RingBufFactor = 0;
  m_RingBufWeight = 0;
  m_RingBufSize = 0;
  m_LogCountAppInitDone = 0;
  m_LogCountCurrent = 0;
  m_InternalDebugBuffer[0] = '\0';
  m_RingBuffer = nullptr;
  m_WrapCount = 0;
  m_RingBufFilePath[0] = '\0';
  m_NoHeaderToStderr = 0;
  m_RegDebugLevel = 0;
  m_RegTraceFileFactor = 0;
  m_RegTraceFileWeight = 0;
  m_RegRingBufDir[0] = '\0';
  m_RegNoHeaderToStderr = 0;
  m_IniDynamicUpdateSeconds = 0;
  m_MemoryTracesFlag = 0;
  m_RingBufferReuse = false;
  m_NumberOfOpens = 0;
  m_RingBufDir[0] = '\0';
  int n = snprintf(m_EndMarkerString, sizeof(m_EndMarkerString), "%s\n",
                   "## TRACE-END ##");
  m_EndMarkerSize = n > 0 ? static_cast<size_t>(n) : 0;
  m_LogFilePath[0] = '\0';
  m_LogFilePtr = nullptr;
  m_LogPosInitEnd = 0;
  m_LogMaxSize = 51200;
  m_LogByteCntInitEnd = 0;
  m_LogCurrentByteCnt = 0;
  m_CycleCnt = 0;
  CopyText(m_ConfigDir, sizeof(m_ConfigDir), kTraceConfigDirectory);
  CopyText(m_DefaultRingBufDir, sizeof(m_DefaultRingBufDir),
           kDefaultTraceDirectory);
  m_WritingWrapHeader = false;
}

CDebug::~CDebug() {
  CCriticalSectionGuard guard(m_SpinLockDebug);
  m_MyArgc = 0;
  m_MyArgv = nullptr;
  m_Target = TRACE_TARGET_NONE;
  m_Level = 0;
  m_LevelSaved = 0;
  m_DynamicUpdateSeconds = 0;
  CloseRingBuffer();
  if (m_LogFilePtr != nullptr) {
    FILE* file = m_LogFilePtr;
    m_LogFilePtr = nullptr;
    fclose(file);
  }
}

void CDebug::ReportToSystemLog(const char* pFormat, ...) {
  va_list args;
  va_start(args, pFormat);
  vsyslog(LOG_ERR, pFormat, args);
  va_end(args);
  closelog();
}

void CDebug::CloseRingBuffer() {
  if (m_RingBuffer != nullptr) {
    munmap(m_RingBuffer, m_RingBufSize);
    m_RingBuffer = nullptr;
    m_RingBufSize = 0;
  }
  if (m_RingBufFD != -1) {
    close(m_RingBufFD);
    m_RingBufFD = -1;
  }
}

void CDebug::SetConfigDirectory(const char* pDir) {
  if (pDir != nullptr) CopyText(m_ConfigDir, sizeof(m_ConfigDir), pDir);
}

void CDebug::SetDefaultTraceDirectory(const char* pDir) {
  if (pDir != nullptr) CopyText(m_DefaultRingBufDir, sizeof(m_DefaultRingBufDir), pDir);
}

// ---------------------------------------------------------------------------
// Init

bool CDebug::Init(const char* pApplicationName) {
  if (pApplicationName == nullptr) return false;
  CCriticalSectionGuard guard(m_SpinLockDebug);

  if (*pApplicationName != '\0') SetName(pApplicationName);
  m_mypid = getpid();

  // Start time as asctime lays it out, line end included.
  time_t now = time(nullptr);
  struct tm local;
  char text[64];
  if (localtime_r(&now, &local) != nullptr &&
      asctime_r(&local, text) != nullptr &&
      strlen(text) < sizeof(m_StartTime)) {
    CopyText(m_StartTime, sizeof(m_StartTime), text);
  } else {
    CopyText(m_StartTime, sizeof(m_StartTime), "\nwww mmm dd hh:mm:ss yyyy");
  }

  for (tokval_t* table : {TokValTabEnv, TokValTabCfg}) {
    for (tokval_t* row = table; row->pToken != nullptr; ++row)
      row->pValue = getenv(row->pToken);
  }

  bool ok = ReadDebugConfig(pApplicationName);
  m_Enabled = m_Level != 0;

  char* lower = ok ? strdup(pApplicationName) : nullptr;
  if (lower != nullptr) {
    StringToLower(lower);

    // A second Init starts both files afresh.
    m_Target = TRACE_TARGET_NONE;
    CloseRingBuffer();
    if (m_LogFilePtr != nullptr) {
      FILE* file = m_LogFilePtr;
      m_LogFilePtr = nullptr;
      fclose(file);
    }
    m_LogCurrentByteCnt = 0;
    m_LogPosInitEnd = 0;
    m_LogByteCntInitEnd = 0;
    m_CycleCnt = 0;

    if (FormatTracePath(m_LogFilePath, sizeof(m_LogFilePath), m_RingBufDir,
                        lower, "")) {
      m_LogFilePtr = OpenLogFile(m_LogFilePath);
    }
    if (m_LogFilePtr == nullptr) {
      ReportToSystemLog("ERROR: Error during opening %s --> proceed without it\n",
                        m_LogFilePath);
    }

    if (m_Enabled) {
      char var_name[48] = "QZ_LOG_RINGBUF_WEIGHT";
      BuildAppVarName(var_name, sizeof(var_name), pApplicationName);
      // The application's own variable, when set, overrides the weight.
      SetConfiguredValue(var_name, m_RingBufWeight, m_RingBufWeight,
                         &m_RingBufWeight);
      if (m_RingBufWeight > kMaxRingWeight) {
        // Shown as it was most likely written: -1 rather than 4294967295.
        const int as_signed = static_cast<int>(m_RingBufWeight);
        const long long shown =
            as_signed < 0 ? as_signed : static_cast<long long>(m_RingBufWeight);
        ReportToSystemLog(
            "ERROR: ring buffer weight %lld out of range 1..%u --> using %u\n",
            shown, kMaxRingWeight, kDefaultRingWeight);
        m_RingBufWeight = kDefaultRingWeight;
      }

      if (m_RingBufFactor > 2) m_RingBufFactor = 2;
      const unsigned units = m_RingBufWeight * m_RingBufFactor;
      m_RingBufSize = ring_layout::RingSizeUnit() * units;
      if (m_RingBufSize != 0) {
        if (FormatTracePath(m_RingBufFilePath, sizeof(m_RingBufFilePath),
                            m_RingBufDir, lower, "_a")) {
          ok = InitRingBuffer(m_RingBufFilePath, m_RingBufSize);
        } else {
          PrintToLogFile(
              "\n### InitRingBuffer(): open of %s failed (errno=%d; %s) ###",
              m_RingBufFilePath, ENAMETOOLONG, strerror(ENAMETOOLONG));
          ok = false;
        }
      }
    }
    free(lower);
  }

  if (ok && m_Enabled) {
    m_Enabled = m_Level != 0;
    return true;
  }
  m_Enabled = false;
  m_Target = TRACE_TARGET_NONE;
  m_Level = 0;
  m_LevelSaved = 0;
  return ok;
}

// ---------------------------------------------------------------------------
// Print entry points

void CDebug::Print(unsigned MsgLevel, const char* pFormat, ...) {
  if (pFormat == nullptr) return;
  va_list args;
  va_start(args, pFormat);
  PrintV(MsgLevel, pFormat, args);
  va_end(args);
}

void CDebug::PrintV(unsigned MsgLevel, const char* pFormat,
                    va_list pArguments) {
  if (pFormat == nullptr) return;
  if (m_DynamicUpdateSeconds != 0) {
    time_t now = time(nullptr);
    CCriticalSectionGuard guard(m_SpinLockDebug);
    const time_t interval = static_cast<int32_t>(m_DynamicUpdateSeconds);
    if (now >= m_LastUpdateTimeStamp + interval ||
        now < m_LastUpdateTimeStamp) {
      m_LastUpdateTimeStamp = now;
      try {
        RecheckDebugConfig();
      } catch (const std::bad_alloc&) {
        // The settings stay as they were; the next interval tries again.
      }
    }
  }
  if (MsgLevel > m_Level) return;
  CDebug::ClientPrintV(pFormat, pArguments, nullptr);
}

void CDebug::PrintAlways(const char* pFormat, ...) {
  va_list args;
  va_start(args, pFormat);
  PrintAlwaysV(pFormat, args, nullptr);
  va_end(args);
}

void CDebug::PrintAlways(unsigned /*MsgLevel*/, const char* pFormat, ...) {
  va_list args;
  va_start(args, pFormat);
  PrintAlwaysV(pFormat, args, nullptr);
  va_end(args);
}

void CDebug::PrintAlwaysV(const char* pFormat, va_list pArguments,
                          const char* pDebugModuleName) {
  if (pFormat == nullptr) return;
  CCriticalSectionGuard guard(m_SpinLockDebug);
  va_list copy;
  va_copy(copy, pArguments);
  if (m_Target == TRACE_TARGET_RINGBUFFER) {
    TraceToRingBuffer(pFormat, pArguments, pDebugModuleName);
  }
  TraceToLogFile(pFormat, copy, pDebugModuleName);
  va_end(copy);
}

void CDebug::ClientPrintV(const char* pFormat, va_list pArguments,
                          const char* pDebugModuleName) {
  if (pFormat == nullptr) return;
  CCriticalSectionGuard guard(m_SpinLockDebug);
  if (m_Target == TRACE_TARGET_RINGBUFFER) {
    TraceToRingBuffer(pFormat, pArguments, pDebugModuleName);
  } else if (m_Target == TRACE_TARGET_LOGFILE) {
    TraceToLogFile(pFormat, pArguments, pDebugModuleName);
  }
}

void CDebug::PrintIt(unsigned Target, const char* pFormat, ...) {
  if (pFormat == nullptr) return;
  if (Target == TRACE_TARGET_NONE) Target = m_Target;
  va_list args;
  va_start(args, pFormat);
  if (Target == TRACE_TARGET_RINGBUFFER) {
    TraceToRingBuffer(pFormat, args, nullptr);
  } else if (Target == TRACE_TARGET_LOGFILE) {
    TraceToLogFile(pFormat, args, nullptr);
  }
  va_end(args);
}

bool CDebug::ForceMaxDebug(bool value) {
  CCriticalSectionGuard guard(m_SpinLockDebug);
  m_Level = value ? m_LevelSaved : 0;
  m_Enabled = value;
  return true;
}

// ---------------------------------------------------------------------------
// Entry header and name helpers

const char* CDebug::EntryFormat(const char* pFormat) {
  const char* format = pFormat;
  while (*format == '\n') ++format;
  return *format == '\0' ? pFormat : format;
}

size_t CDebug::FormatEntry(const char* pFormat, va_list pArguments,
                           const char* pDebugModuleName, size_t* textLength) {
  char* buf = m_InternalDebugBuffer;
  size_t header = static_cast<size_t>(
      SetEntryHeader(buf, kEntryHeaderRoom, pDebugModuleName));
  int n = vsnprintf(buf + header, kEntryTextRoom, EntryFormat(pFormat),
                    pArguments);
  if (n < 0) {
    n = 0;
    buf[header] = '\0';
  }
  *textLength = static_cast<size_t>(n);
  return header;
}

int CDebug::SetEntryHeader(char* entryHeader, size_t entryHeaderLength,
                           const char* pDebugModuleName) {
  if (entryHeader == nullptr || entryHeaderLength == 0) return 0;

  char when[28];
  struct timeval tv;
  struct tm local;
  char seconds[22];
  gettimeofday(&tv, nullptr);
  time_t secs = tv.tv_sec;
  int millis = static_cast<int>((tv.tv_usec / 1000) % 1000);
  if (localtime_r(&secs, &local) == nullptr ||
      strftime(seconds, sizeof(seconds), "%F %H:%M:%S", &local) == 0 ||
      snprintf(when, sizeof(when), "%s.%03d", seconds, millis) <= 0) {
    CopyText(when, sizeof(when), "yyyy-mm-dd hh:mm:ss.mmm");
  }

  const char* module = pDebugModuleName;
  if (module == nullptr) module = m_pAppName != nullptr ? m_pAppName : "";
  const unsigned thread = static_cast<unsigned>(pthread_self());

  int n;
  if (m_MemoryTracesFlag != 0) {
    const size_t usage = CProcess::GetOwnResidentKilobytes();
    n = snprintf(entryHeader, entryHeaderLength, "%s [%08X] %8zu %s !%-13s ",
                 when, thread, usage, "KB", module);
  } else {
    n = snprintf(entryHeader, entryHeaderLength, "%s [%08X] %-13s ", when,
                 thread, module);
  }
  if (n < 0) {
    entryHeader[0] = '\0';
    return 0;
  }
  if (static_cast<size_t>(n) >= entryHeaderLength) {
    n = static_cast<int>(entryHeaderLength - 1);
  }
  return n;
}

void CDebug::BuildAppVarName(char* varName, size_t len,
                             const char* pApplicationName) {
  if (varName == nullptr || len == 0 || pApplicationName == nullptr ||
      *pApplicationName == '\0') {
    return;
  }
  size_t pos = strnlen(varName, len - 1);
  if (pos < len - 1) varName[pos++] = '_';
  for (const char* p = pApplicationName; *p != '\0' && pos < len - 1; ++p) {
    varName[pos++] = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
  }
  varName[pos] = '\0';
}

char* CDebug::StringToLower(char* pString) {
  if (pString == nullptr) return nullptr;
  for (char* p = pString; *p != '\0'; ++p) {
    *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
  }
  return pString;
}
