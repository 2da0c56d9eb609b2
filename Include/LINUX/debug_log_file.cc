// The trace log file "<trace dir>/log.<name>": sequential text, emptied at
// every start, one entry per write, flushed at once.
//
// Its size is bounded by m_LogMaxSize. The entry that passes the bound is
// written whole; then writing jumps back to the restart point (the file
// start, or the offset recorded by SetApplInitDone) and a wrap line records
// the jump. The file is not truncated there: older text behind the new
// write position stays until it is overwritten, so the newest entries stand
// just above the last wrap line.
//
// The file is never a symbolic link or a file someone else planted: it is
// opened with OpenOwnFile (a regular file with one link, owned by the
// effective user, final link not followed), emptied only once accepted and
// given mode 0600. It is unbuffered, so each entry is one write(2); a write
// refused with EFBIG (file-size limit) loses that entry and nothing more.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "cdebug.h"
#include "file_size_signal.h"
#include "high_fd.h"
#include "safe_file.h"

FILE* CDebug::OpenLogFile(const char* path) {
  std::string why;
  int fd = OpenOwnFile(path, O_RDWR | O_CREAT, kTraceFileMode, &why);
  if (fd < 0) return nullptr;
  if (ftruncate(fd, 0) != 0 || fchmod(fd, kTraceFileMode) != 0) {
    close(fd);
    return nullptr;
  }
  fd = MoveFdHigh(fd);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "w+");
  if (file == nullptr) {
    close(fd);
    return nullptr;
  }
  setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

int CDebug::GetLogFileDescriptor() const {
  return m_LogFilePtr != nullptr ? fileno(m_LogFilePtr) : -1;
}

void CDebug::TraceToLogFile(const char* pFormat, va_list pArguments,
                            const char* pDebugModuleName) {
  if (m_LogFilePtr == nullptr || pFormat == nullptr) return;
  FileSizeSignalGuard file_size_limit_is_no_kill;
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
