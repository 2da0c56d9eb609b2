// Reading a trace ring-buffer file back as a log.
//
// The ring-buffer file of CDebug ("<trace dir>/log.<name>_a") holds its
// entries in the order of the file, not of time: after a wrap the newest
// entries stand near the start, the oldest surviving ones behind the end
// marker, and the header block written at the wrap in between. This reader
// puts them back in the order they were written:
//
//   1. the entries up to the end-of-initialisation mark, when the ring has
//      wrapped and one was set (they survive every wrap);
//   2. after a wrap, the entries of the previous cycle that survive behind
//      the end marker, up to the "." fill of the wrap (a partly
//      overwritten entry right behind the marker is left out);
//   3. the header block at offset 1024 (written when the file was created
//      or at the last wrap);
//   4. the entries from the point where writing resumed after the header
//      block, up to the end marker.
// What lies between the header block and the resume point (stale text of
// earlier cycles, filler lines, a stale end marker) is not shown.
//
// An entry is a line that starts with an entry header ("<time> [<thread
// id>] ...") together with the lines without one that follow it (texts with
// inner line ends). Filler lines of a new file are never entries.
//
// The reader only reads: it never writes to the file and never creates one.
// It reads the file with read(2), so a file cut short while it is read ends
// the data instead of faulting; a file being written by a running process
// gives a snapshot that may mix two moments.
//
// This file pair does not use CDebug itself, not even to find the file:
// linking CDebug brings in the process's global trace object, whose
// construction empties the trace log file and opens the ring buffer for
// writing. A tool that reads a trace must not do that.

#ifndef INCLUDE_LINUX_DEBUG_RING_READER_H_
#define INCLUDE_LINUX_DEBUG_RING_READER_H_

#include <cstdio>
#include <string>
#include <vector>

// The ring-buffer file the trace object of `pApplicationName` uses, found
// by the same rule the trace object follows (debug_trace_path.h) in
// `pConfigDir`, with `pDefaultTraceDir` as the default trace directory.
// Null directories mean the shipped ones. Returns false (and leaves `*path`
// unchanged) for a null or empty name, or when the path would be longer
// than 255 characters: the trace object then opens no ring buffer either.
bool GetTraceRingBufferPath(const char* pApplicationName, std::string* path,
                            const char* pConfigDir = nullptr,
                            const char* pDefaultTraceDir = nullptr);

// One header line of the file: its title and its value field, both without
// their padding (trailing blanks and the "|" of an unfilled field removed).
struct TraceRingHeaderField {
  std::string title;
  std::string value;
};

// A ring-buffer file as read back.
struct TraceRing {
  std::vector<TraceRingHeaderField> header;  // the seven header lines
  unsigned long numberOfOpens = 0;
  unsigned long wrapCount = 0;
  unsigned long ringBufferSize = 0;  // as recorded when the file was laid out
  unsigned long writePosition = 0;   // where the end marker stands
  // The entries, oldest first; each is its entry header and text, inner
  // line ends kept, without the final line end.
  std::vector<std::string> entries;
};

// Reads the ring-buffer file at `path` into `*ring`. Returns false with a
// message naming the file in `*error` when it cannot be read, is shorter
// than its text header or than its recorded size, does not carry the text
// header of a ring-buffer file, or holds no end marker at or after the
// recorded write position. On success `*error` is untouched.
bool ReadTraceRing(const std::string& path, TraceRing* ring,
                   std::string* error);

// Writes `ring` as text: the header lines ("<title padded to 33>: <value>"),
// an empty line, then the entries one after another. Returns false when
// writing fails.
bool WriteTraceRing(const TraceRing& ring, FILE* out);

#endif  // INCLUDE_LINUX_DEBUG_RING_READER_H_
