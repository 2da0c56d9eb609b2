// The trace log file "<trace dir>/log.<name>": sequential text, emptied at
// every start, one entry per write, flushed at once.
//
// Its size is bounded by m_LogMaxSize. The entry that passes the bound is
// written whole; then writing jumps back to the restart point (the file
// start, or the offset recorded by SetApplInitDone) and a wrap line records
// the jump. The file is not truncated there: older text behind the new
// write position stays until it is overwritten, so the newest entries stand
// just above the last wrap line.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cdebug.h"
#include "high_fd.h"

FILE* CDebug::OpenLogFile(const char* path) {
  int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  fd = MoveFdHigh(fd);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "w+");
  if (file == nullptr) close(fd);
  return file;
}

int CDebug::GetLogFileDescriptor() const {
  return m_LogFilePtr != nullptr ? fileno(m_LogFilePtr) : -1;
}

void CDebug::TraceToLogFile(const char* pFormat, va_list pArguments,
                            const char* pDebugModuleName) {
  if (m_LogFilePtr == nullptr || pFormat == nullptr) return;
  try {
    char* buf = m_InternalDebugBuffer;
    size_t n = 0;
    const size_t header =
        FormatEntry(pFormat, pArguments, pDebugModuleName, &n);
    size_t length = header + (n < kEntryTextRoom - 1 ? n : kEntryTextRoom - 1);
    if (length == 0 || buf[length - 1] != '\n') buf[length++] = '\n';
    buf[length] = '\0';

    m_LogCurrentByteCnt +=
        static_cast<unsigned>(fwrite(buf, 1, length, m_LogFilePtr));
    fflush(m_LogFilePtr);

    if (m_LogCurrentByteCnt > m_LogMaxSize) {
      clearerr(m_LogFilePtr);
      if (fseek(m_LogFilePtr, m_LogPosInitEnd, SEEK_SET) != 0) {
        ReportToSystemLog(
            "ERROR: fseek failed for %s (errno=%d) --> rewind it\n",
            m_LogFilePath, errno);
        rewind(m_LogFilePtr);
      }
      ++m_CycleCnt;
      m_LogCurrentByteCnt = m_LogByteCntInitEnd;
      // The entry header still stands at the start of the buffer.
      n = snprintf(buf + header, sizeof(m_InternalDebugBuffer) - header,
                   "------ WRAP ----- Cycle=%d, CntInitEnd=%u, "
                   "CurrentByteCnt=%u (MaxCnt=%u)\n",
                   m_CycleCnt, m_LogByteCntInitEnd, m_LogCurrentByteCnt,
                   m_LogMaxSize);
      length = header + (n > 0 ? static_cast<size_t>(n) : 0);
      m_LogCurrentByteCnt +=
          static_cast<unsigned>(fwrite(buf, 1, length, m_LogFilePtr));
      fflush(m_LogFilePtr);
    }
  } catch (...) {
    // The entry is lost.
  }
}

void CDebug::PrintToLogFile(const char* pFormat, ...) {
  va_list args;
  va_start(args, pFormat);
  TraceToLogFile(pFormat, args, nullptr);
  va_end(args);
}
