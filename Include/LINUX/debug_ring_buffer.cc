// The ring-buffer file "<trace dir>/log.<name>_a": a file of fixed size,
// mapped shared, into which entries are copied one after another.
//
// Layout (text throughout, offsets from the file start):
//     0  seven header lines of 80 bytes: a title padded to 33 columns, ": ",
//        a 44-byte value field (43 blanks and "|" until filled), "\n":
//          FilePath, FirstOpen, LastOpen, NumberOpens, WrapCount,
//          RingBufferSize, CurrentWritePosition; numbers are 16 zero-padded
//          decimal digits followed by a blank
//   560  78 "-", "+", "\n"
//   640  383 blanks, "\n"
//  1024  the entries. A new file is pre-filled with 1024-byte filler lines
//        (an entry header, "_" up to byte 1022, "\n"). After the newest
//        entry stand "## TRACE-END ##\n" and CurrentWritePosition points
//        there. When an entry does not fit before the end, the tail is
//        filled with ".", WrapCount grows, a header block is written again
//        from 1024, and writing goes on at the next kilobyte boundary after
//        it (or at the end-of-initialisation mark, when one was set).
//
// An existing file is reused by the next process with the same name and
// trace directory: NumberOpens grows by one, LastOpen is renewed and
// writing resumes at the stored position. Entries are plain memory copies,
// so they survive a crash of the process; nothing is synced to disk.
//
// The file is created exclusively (never through a link) with mode 0700, or,
// when it exists, reused as it is (mode included) only if OpenOwnFile
// accepts it (a regular file with one link owned by the effective user).
// Reuse writes nothing to the log file; a ring that cannot be opened or is
// refused writes the one "open of ... failed" line there, whatever the
// cause, and tracing is switched off.
// It is never made larger than the free space of its file system less
// kRingFreeSpaceMargin: a ring that does not fit is made smaller in steps of
// page size x 256, and when not even one step fits nothing is created. A
// file this call created and could not fill (disk full, EFBIG under a
// file-size limit) is removed again; a reused file is never removed.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cdebug.h"
#include "debug_ring_layout.h"
#include "file_size_signal.h"
#include "high_fd.h"
#include "path_parts.h"
#include "safe_file.h"

namespace {

using ring_layout::FieldOffset;
using ring_layout::kEntryAreaStart;
using ring_layout::kFieldLines;
using ring_layout::kLineSize;
using ring_layout::kResumeDistance;
using ring_layout::kTitles;
using ring_layout::kTitleWidth;
using ring_layout::kValueWidth;
using ring_layout::RoundDownToKilobyte;

const size_t kHeaderLines = kFieldLines + 1;  // and the separator
const size_t kBlankLineSize = 384;
const size_t kFillerLineSize = 1024;
const size_t kNoticeRoom = 128;
const size_t kOversizeSlack = 145;  // header and notice room of a long entry
const size_t kInitDoneMinRoom = 1048576;

// Offsets of the value fields the running trace renews.
const size_t kFieldLastOpen = FieldOffset(2);
const size_t kFieldNumberOpens = FieldOffset(3);
const size_t kFieldWrapCount = FieldOffset(4);
const size_t kFieldWritePosition = FieldOffset(6);


// Copies at most kValueWidth characters of `text` into a value field,
// leaving line ends out; the rest of the field is unchanged.
void PutFieldText(char* field, const char* text) {
  size_t n = 0;
  for (const char* p = text; *p != '\0' && n < kValueWidth; ++p) {
    if (*p != '\n') field[n++] = *p;
  }
}

void PutFieldNumber(char* field, size_t value) {
  char digits[32];
  snprintf(digits, sizeof(digits), "%016u", static_cast<unsigned>(value));
  memcpy(field, digits, 16);
  field[16] = ' ';
}

// The text header in its blank form: each field line its title padded to
// 33 columns, ": ", 43 blanks and "|"; the separator; the blank line.
void BuildTextHeader(char (&text)[kEntryAreaStart]) {
  memset(text, ' ', sizeof(text));
  for (size_t i = 0; i < kFieldLines; ++i) {
    char* line = text + i * kLineSize;
    memcpy(line, kTitles[i], strlen(kTitles[i]));
    line[kTitleWidth] = ':';
    line[kLineSize - 2] = '|';
    line[kLineSize - 1] = '\n';
  }
  char* separator = text + kFieldLines * kLineSize;
  memset(separator, '-', kLineSize - 2);
  separator[kLineSize - 2] = '+';
  separator[kLineSize - 1] = '\n';
  text[sizeof(text) - 1] = '\n';
}

// Writes `total` bytes made of `line` (kFillerLineSize bytes) repeated,
// many lines per system call.
bool WriteRepeatedLine(int fd, const char* line, size_t total) {
  const int kLinesPerCall = 256;
  struct iovec iov[kLinesPerCall + 1];
  size_t done = 0;
  while (done < total) {
    int count = 0;
    size_t planned = 0;
    size_t offset = done % kFillerLineSize;
    while (count <= kLinesPerCall && done + planned < total) {
      size_t piece = kFillerLineSize - offset;
      if (piece > total - done - planned) piece = total - done - planned;
      iov[count].iov_base = const_cast<char*>(line + offset);
      iov[count].iov_len = piece;
      planned += piece;
      offset = 0;
      ++count;
    }
    ssize_t n = writev(fd, iov, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Bytes the ring may take on the file system of `path`: what it has
// already (`existing`) and what is free for unprivileged users beyond
// kRingFreeSpaceMargin. No bound when the file system cannot be asked.
size_t RingRoom(const char* path, size_t existing) {
  struct statvfs fs;
  if (statvfs(DirectoryPart(path).c_str(), &fs) != 0)
    return static_cast<size_t>(-1);
  const unsigned long long block = fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize;
  const unsigned long long free_bytes =
      static_cast<unsigned long long>(fs.f_bavail) * block;
  const unsigned long long room =
      existing + (free_bytes > kRingFreeSpaceMargin
                      ? free_bytes - kRingFreeSpaceMargin : 0);
  return room < static_cast<size_t>(-1) ? static_cast<size_t>(room)
                                         : static_cast<size_t>(-1);
}

}  // namespace

unsigned long CDebug::ReadRingHeaderNumber(size_t offset) const {
  char digits[17];
  memcpy(digits, m_RingBuffer + offset, 16);
  digits[16] = '\0';
  return strtoul(digits, nullptr, 10);
}

bool CDebug::InitRingBuffer(const char* RingBufferName,
                            size_t RingBufferSize) {
  if (RingBufferName == nullptr || RingBufferSize < kEntryAreaStart * 2) {
    return false;
  }
  if (RingBufferName != m_RingBufFilePath) {
    snprintf(m_RingBufFilePath, sizeof(m_RingBufFilePath), "%s",
             RingBufferName);
  }
  const char* path = m_RingBufFilePath;
  CloseRingBuffer();
  m_RingBufferReuse = false;
  FileSizeSignalGuard file_size_limit_is_no_kill;

  // Never larger than the file system can give without its last margin.
  struct stat st;
  const size_t existing =
      lstat(path, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) : 0;
  const size_t room = RingRoom(path, existing);
  if (RingBufferSize > room) {
    const size_t step = ring_layout::RingSizeUnit();
    const size_t fitted = room / step * step;
    if (fitted < kEntryAreaStart * 2) {
      PrintToLogFile(
          "\n### InitRingBuffer(): %s not set up: %zu bytes wanted, %zu "
          "available (%zu bytes kept free) ###",
          path, RingBufferSize, room, kRingFreeSpaceMargin);
      return false;
    }
    PrintToLogFile(
        "\n### InitRingBuffer(): %s made %zu bytes instead of %zu (%zu bytes "
        "kept free) ###",
        path, fitted, RingBufferSize, kRingFreeSpaceMargin);
    RingBufferSize = fitted;
  }

  bool created = false;
  int fd = OpenOwnFile(path, O_RDWR | O_CREAT, kRingFileMode, nullptr, &created);
  if (fd >= 0 && fstat(fd, &st) != 0) {
    close(fd);
    fd = -1;
  }
  if (fd >= 0) fd = MoveFdHigh(fd);
  if (fd < 0) {
    int error = errno;
    if (created) unlink(path);
    PrintToLogFile("\n### InitRingBuffer(): open of %s failed (errno=%d; %s) ###",
                   path, error, strerror(error));
    return false;
  }
  m_RingBufFD = fd;
  ++m_NumberOfOpens;
  // A file this call created and could not lay out is removed again.
  auto give_up = [&] {
    CloseRingBuffer();
    if (created) unlink(path);
  };

  // A file this call created is laid out, and so is one shorter than the
  // size now configured: mapping past its end would fault on the first
  // entry there.
  m_RingBufferReuse = !created && static_cast<size_t>(st.st_size) >= RingBufferSize;

  if (!m_RingBufferReuse) {
    char text[kEntryAreaStart];
    BuildTextHeader(text);
    PutFieldText(text + FieldOffset(0), path);
    PutFieldText(text + FieldOffset(1), m_StartTime);
    PutFieldText(text + FieldOffset(2), m_StartTime);
    PutFieldNumber(text + FieldOffset(3), m_NumberOfOpens);
    PutFieldNumber(text + FieldOffset(4), m_WrapCount);
    PutFieldNumber(text + FieldOffset(5), RingBufferSize);
    PutFieldNumber(text + FieldOffset(6), 0);

    // The text header a line at a time, the blank line, the filler lines.
    const char* failed = nullptr;
    for (size_t i = 0; i < kHeaderLines && failed == nullptr; ++i) {
      if (!WriteAll(fd, text + i * kLineSize, kLineSize)) failed = "write haeder";
    }
    if (failed == nullptr && !WriteAll(fd, text + kHeaderLines * kLineSize, kBlankLineSize))
      failed = "write m_InternalDebugBuffer";
    m_LogCountCurrent = kEntryAreaStart;
    if (failed == nullptr) {
      size_t header = static_cast<size_t>(
          SetEntryHeader(m_InternalDebugBuffer, kEntryHeaderRoom, nullptr));
      memset(m_InternalDebugBuffer + header, '_',
             kFillerLineSize - 1 - header);
      m_InternalDebugBuffer[kFillerLineSize - 1] = '\n';
      if (!WriteRepeatedLine(fd, m_InternalDebugBuffer,
                             RingBufferSize - kEntryAreaStart))
        failed = "(2) write m_InternalDebugBuffer";
    }
    if (failed != nullptr) {
      give_up();
      PrintToLogFile("\n### InitRingBuffer(): %s to %s failed ###", failed,
                     path);
      return false;
    }
  }

  void* map = mmap(nullptr, RingBufferSize, PROT_READ | PROT_WRITE,
                   MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    int error = errno;
    give_up();
    PrintToLogFile("\n### InitRingBuffer(): mmap of %s failed (errno=%d; %s) ###",
                   path, error, strerror(error));
    return false;
  }
  m_RingBuffer = static_cast<char*>(map);
  m_RingBufSize = RingBufferSize;
  m_Target = TRACE_TARGET_RINGBUFFER;

  if (m_RingBufferReuse) {
    PutFieldText(m_RingBuffer + kFieldLastOpen, m_StartTime);
    m_NumberOfOpens =
        static_cast<unsigned>(ReadRingHeaderNumber(kFieldNumberOpens)) + 1;
    PutFieldNumber(m_RingBuffer + kFieldNumberOpens, m_NumberOfOpens);
    m_WrapCount = static_cast<unsigned>(ReadRingHeaderNumber(kFieldWrapCount));
    m_LogCountCurrent = ReadRingHeaderNumber(kFieldWritePosition);
  } else {
    m_LogCountCurrent = kEntryAreaStart;
    WriteLogHeader(TRACE_TARGET_RINGBUFFER);
    m_LogCountCurrent = RoundDownToKilobyte(m_LogCountCurrent + kResumeDistance);
  }
  // Entries never go into the text header, nor past the end.
  if (m_LogCountCurrent > m_RingBufSize) m_LogCountCurrent = m_RingBufSize;
  if (m_LogCountCurrent < kEntryAreaStart) m_LogCountCurrent = kEntryAreaStart;

  PrintIt(TRACE_TARGET_RINGBUFFER, "\n### Start of work cycle. (%08d) ###",
          static_cast<int>(m_NumberOfOpens));
  return true;
}

void CDebug::TraceToRingBuffer(const char* pFormat, va_list pArguments,
                               const char* pDebugModuleName) {
  if (pFormat == nullptr || m_RingBuffer == nullptr) return;
  char* large = nullptr;
  va_list again;
  va_copy(again, pArguments);
  try {
    char* buf = m_InternalDebugBuffer;
    size_t text = 0;
    size_t header = FormatEntry(pFormat, pArguments, pDebugModuleName, &text);
    const char* format = EntryFormat(pFormat);
    const char* entry = buf;
    size_t length;
    if (text <= kEntryTextRoom - 1) {
      length = header + text;
    } else if (text <= m_RingBufSize / 10 &&
               (large = static_cast<char*>(malloc(text + kOversizeSlack))) !=
                   nullptr) {
      // Stored whole, from a buffer of its own.
      size_t large_header = static_cast<size_t>(
          SetEntryHeader(large, kEntryHeaderRoom, pDebugModuleName));
      int again_len = vsnprintf(large + large_header,
                                text + kOversizeSlack - large_header, format,
                                again);
      size_t large_text = again_len < 0 ? 0 : static_cast<size_t>(again_len);
      if (large_text > text) large_text = text;
      entry = large;
      length = large_header + large_text;
      large[length] = '\0';
    } else {
      const char* notice =
          text <= m_RingBufSize / 10
              ? "\n## ERROR: No memory: Output Truncated!\n"
              : "\n## WARNING: TRACE-SIZE TOO BIG: Output Truncated!\n";
      size_t cut = header + kEntryTextRoom - 1;
      int n = snprintf(buf + cut, kNoticeRoom, "%s", notice);
      length = cut + (n > 0 ? static_cast<size_t>(n) : 0);
    }

    char* writable = const_cast<char*>(entry);
    if (length == 0 || writable[length - 1] != '\n') writable[length++] = '\n';
    writable[length] = '\0';

    PutRingEntry(entry, length);
  } catch (...) {
    // The entry is lost.
  }
  va_end(again);
  free(large);
}

void CDebug::PutRingEntry(const char* entry, size_t length) {
  char saved[sizeof(m_InternalDebugBuffer)];
  if (m_LogCountCurrent + m_EndMarkerSize + length > m_RingBufSize) {
    // The header block written at a wrap never wraps again: what does not
    // fit of it is left out.
    if (m_WritingWrapHeader) return;

    memset(m_RingBuffer + m_LogCountCurrent, '.',
           m_RingBufSize - m_LogCountCurrent);

    // The header block reuses the formatting buffer.
    if (entry >= m_InternalDebugBuffer &&
        entry < m_InternalDebugBuffer + sizeof(m_InternalDebugBuffer)) {
      memcpy(saved, entry, length);
      entry = saved;
    }

    ++m_WrapCount;
    PutFieldNumber(m_RingBuffer + kFieldWrapCount, m_WrapCount);

    m_LogCountCurrent = kEntryAreaStart;
    m_WritingWrapHeader = true;
    WriteLogHeader(TRACE_TARGET_RINGBUFFER);
    m_WritingWrapHeader = false;

    if (m_LogCountAppInitDone != 0) {
      m_LogCountCurrent = m_LogCountAppInitDone;
    } else {
      m_LogCountCurrent = RoundDownToKilobyte(m_LogCountCurrent + kResumeDistance);
    }
    // Should the entry still not fit (a huge header block), it goes right
    // behind the text header; nothing is ever written past the end.
    if (m_LogCountCurrent + m_EndMarkerSize + length > m_RingBufSize) {
      m_LogCountCurrent = kEntryAreaStart;
      if (m_LogCountCurrent + m_EndMarkerSize + length > m_RingBufSize) {
        length = 0;
      }
    }
  }

  memcpy(m_RingBuffer + m_LogCountCurrent, entry, length);
  m_LogCountCurrent += length;
  memcpy(m_RingBuffer + m_LogCountCurrent, m_EndMarkerString, m_EndMarkerSize);
  PutFieldNumber(m_RingBuffer + kFieldWritePosition, m_LogCountCurrent);
}

void CDebug::SetApplInitDone() {
  CCriticalSectionGuard guard(m_SpinLockDebug);
  if (m_LogFilePtr != nullptr) {
    long offset = ftell(m_LogFilePtr);
    if (offset >= 0) {
      m_LogPosInitEnd = offset;
      m_LogByteCntInitEnd = static_cast<unsigned>(offset);
    }
  }
  if (m_Target == TRACE_TARGET_RINGBUFFER && m_RingBuffer != nullptr &&
      m_WrapCount == 0 && m_LogCountCurrent < m_RingBufSize &&
      m_RingBufSize - m_LogCountCurrent > kInitDoneMinRoom) {
    PrintIt(TRACE_TARGET_NONE, "\n### End of initialization. ###");
    m_LogCountAppInitDone = m_LogCountCurrent;
    m_ApplicationInitDone = true;
  }
}
