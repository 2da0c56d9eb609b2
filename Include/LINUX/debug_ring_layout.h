// The layout of the trace ring-buffer file "<trace dir>/log.<name>_a", shared
// by its writer (debug_ring_buffer.cc) and its reader (debug_ring_reader.cc)
// so that the two can never disagree. See debug_ring_buffer.cc for the
// whole picture and docs/formats.md for the byte layout.

#ifndef INCLUDE_LINUX_DEBUG_RING_LAYOUT_H_
#define INCLUDE_LINUX_DEBUG_RING_LAYOUT_H_

#include <unistd.h>

#include <cstddef>

namespace ring_layout {

// The text header: seven lines of 80 bytes, each a title padded to 33
// columns, ": ", a 44-byte value field and "\n", then a separator line.
const size_t kLineSize = 80;
const size_t kTitleWidth = 33;
const size_t kValueOffset = 35;
const size_t kValueWidth = 44;
const char* const kTitles[] = {
    "FilePath",
    "FirstOpen",
    "LastOpen",
    "NumberOpens    (decimal)",
    "WrapCount      (decimal)",
    "RingBufferSize (decimal)",
    "CurrentWritePosition (dec bytes)",
};
const size_t kFieldLines = sizeof(kTitles) / sizeof(kTitles[0]);

// Where the value field of header line `line` starts.
constexpr size_t FieldOffset(size_t line) {
  return line * kLineSize + kValueOffset;
}

// Entries start here; the area before it is the text header and blanks.
const size_t kEntryAreaStart = 1024;

// Stands right after the newest entry.
const char kEndMarker[] = "## TRACE-END ##\n";

// After a wrap, writing resumes at the first kilobyte boundary this far
// behind the end of the rewritten header block.
const size_t kResumeDistance = 2048;

inline size_t RoundDownToKilobyte(size_t value) {
  return value & ~size_t{1023};
}

// The ring's size in units of page size x 256 (weight 1, factor 1); a ring
// that does not fit its file system is made smaller in whole units.
inline size_t RingSizeUnit() {
  long page = sysconf(_SC_PAGESIZE);
  return static_cast<size_t>(page > 0 ? page : 4096) * 256;
}

}  // namespace ring_layout

#endif  // INCLUDE_LINUX_DEBUG_RING_LAYOUT_H_
