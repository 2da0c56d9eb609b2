// Reading a trace ring-buffer file back in the order it was written. The
// layout is the one debug_ring_buffer.cc writes; see debug_ring_reader.h for
// the order in which the parts of the file are put together.

#include "debug_ring_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "debug_ring_layout.h"
#include "debug_trace_path.h"
#include "safe_file.h"

namespace {

using ring_layout::kEndMarker;
using ring_layout::kEntryAreaStart;
using ring_layout::kLineSize;
using ring_layout::kResumeDistance;
using ring_layout::kTitles;
using ring_layout::kTitleWidth;
using ring_layout::kValueOffset;
using ring_layout::kValueWidth;
using ring_layout::RoundDownToKilobyte;

const size_t kHeaderLines = ring_layout::kFieldLines;
const size_t kEndMarkerSize = sizeof(kEndMarker) - 1;
const size_t kFillerLineLength = 1023;  // without its line end
const size_t kMaxEntryHeader = 127;
const char kHeaderBlockEnd[] = "# End of header.\n";
const char kInitDoneText[] = "### End of initialization. ###";

// Reads at most `limit` bytes of `fd` from its current offset, stopping at
// the end of the file. False on a read error.
bool ReadUpTo(int fd, size_t limit, std::string* data) {
  size_t done = data->size();
  data->resize(done + limit);
  ssize_t n = ReadFully(fd, &(*data)[done], limit);
  if (n < 0) return false;
  data->resize(done + static_cast<size_t>(n));
  return true;
}

bool AllOf(const std::string& d, size_t begin, size_t end, char c) {
  return d.find_first_not_of(c, begin) >= end;
}

// "<yyyy-mm-dd hh:mm:ss.mmm> [<8 hex digits>] " at `at`, or the placeholder
// time the trace object writes when the clock cannot be formatted.
bool IsEntryStart(const std::string& d, size_t at, size_t end) {
  static const char kShape[] = "dddd-dd-dd dd:dd:dd.ddd [hhhhhhhh] ";
  static const char kNoTime[] = "yyyy-mm-dd hh:mm:ss.mmm";
  const size_t n = sizeof(kShape) - 1;
  if (end < at || end - at < n) return false;
  const bool no_time = d.compare(at, sizeof(kNoTime) - 1, kNoTime) == 0;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(d[at + i]);
    switch (kShape[i]) {
      case 'd':
        if (!no_time && !isdigit(c)) return false;
        break;
      case 'h':
        if (!isdigit(c) && (c < 'A' || c > 'F')) return false;
        break;
      default:
        if (c != static_cast<unsigned char>(kShape[i])) return false;
    }
  }
  return true;
}

// A filler line of a new file: an entry header and "_" to byte 1022.
bool IsFillerLine(const std::string& d, size_t at, size_t eol) {
  return eol - at == kFillerLineLength &&
         AllOf(d, at + kMaxEntryHeader, eol, '_');
}

// Appends the entries of [begin, end) to `out`. Lines before the first
// entry header belong to an entry that began before `begin` and are left
// out; so are filler lines and stale end markers, which also close the
// entry before them.
void CollectEntries(const std::string& d, size_t begin, size_t end,
                    std::vector<std::string>* out) {
  bool open = false;
  for (size_t at = begin; at < end;) {
    size_t eol = d.find('\n', at);
    if (eol == std::string::npos || eol > end) eol = end;
    if (IsEntryStart(d, at, eol)) {
      open = !IsFillerLine(d, at, eol);
      if (open) out->push_back(d.substr(at, eol - at));
    } else if (d.compare(at, eol - at, kEndMarker, kEndMarkerSize - 1) == 0) {
      open = false;
    } else if (open) {
      out->back() += '\n';
      out->back().append(d, at, eol - at);
    }
    at = eol + 1;
  }
}

// Where the "." fill of the last wrap begins at or after `from`: at the
// start of a line, running to the end of the file or, when the file is
// longer than the area the writer used, to a kilobyte boundary. The end of
// the file when there is none.
size_t FindWrapFill(const std::string& d, size_t from) {
  for (size_t at = from; at < d.size();) {
    if (d[at] == '.' && (at == 0 || d[at - 1] == '\n')) {
      size_t run = d.find_first_not_of('.', at);
      if (run == std::string::npos) return at;
      if (run % 1024 == 0 && d[run] != '\n') return at;
    }
    size_t eol = d.find('\n', at);
    if (eol == std::string::npos) break;
    at = eol + 1;
  }
  return d.size();
}

// The value of a 16-digit number field.
bool ParseNumberField(const std::string& d, size_t offset,
                      unsigned long* value) {
  if (d.find_first_not_of("0123456789", offset) < offset + 16) return false;
  *value = strtoul(d.substr(offset, 16).c_str(), nullptr, 10);
  return true;
}

bool Fail(std::string* error, const std::string& path, const std::string& why) {
  if (error != nullptr) *error = path + ": " + why;
  return false;
}

// Checks the text header and fills the header part of `ring`.
bool ParseTextHeader(const std::string& d, const std::string& path,
                     TraceRing* ring, std::string* error) {
  const std::string foreign = "not a trace ring-buffer file (header line ";
  for (size_t i = 0; i < kHeaderLines; ++i) {
    const size_t at = i * kLineSize;
    const size_t title_len = strlen(kTitles[i]);
    if (d.compare(at, title_len, kTitles[i]) != 0 ||
        !AllOf(d, at + title_len, at + kTitleWidth, ' ') ||
        d.compare(at + kTitleWidth, 2, ": ") != 0 ||
        d[at + kLineSize - 1] != '\n') {
      return Fail(error, path, foreign + std::to_string(i + 1) + ")");
    }
    std::string value = d.substr(at + kValueOffset, kValueWidth);
    if (value.back() == '|') value.pop_back();  // an unfilled field's end
    value.erase(value.find_last_not_of(' ') + 1);
    ring->header.push_back({kTitles[i], value});
  }
  const size_t sep = kHeaderLines * kLineSize;
  if (!AllOf(d, sep, sep + kLineSize - 2, '-') ||
      d.compare(sep + kLineSize - 2, 2, "+\n") != 0 ||
      d[kEntryAreaStart - 1] != '\n') {
    return Fail(error, path, foreign + std::to_string(kHeaderLines + 1) + ")");
  }
  unsigned long* numbers[] = {&ring->numberOfOpens, &ring->wrapCount,
                              &ring->ringBufferSize, &ring->writePosition};
  for (size_t i = 0; i < 4; ++i) {
    const size_t line = 3 + i;
    if (!ParseNumberField(d, line * kLineSize + kValueOffset, numbers[i])) {
      return Fail(error, path,
                  "damaged header: the " + ring->header[line].title +
                      " field holds no number");
    }
  }
  return true;
}

}  // namespace

bool GetTraceRingBufferPath(const char* pApplicationName, std::string* path,
                            const char* pConfigDir,
                            const char* pDefaultTraceDir) {
  return GetConfiguredRingBufferPath(
      pApplicationName,
      pConfigDir != nullptr ? pConfigDir : kTraceConfigDirectory,
      pDefaultTraceDir != nullptr ? pDefaultTraceDir : kDefaultTraceDirectory,
      path);
}

bool ReadTraceRing(const std::string& path, TraceRing* ring,
                   std::string* error) {
  // Opened without blocking, so that a FIFO in its place cannot hold the
  // reader up.
  struct stat st;
  int fd = OpenRegularFile(path.c_str(), O_RDONLY, &st);
  if (fd < 0) return Fail(error, path, errno == EINVAL ? "not a regular file" : strerror(errno));

  // The text header first, so that a large foreign file is not read whole.
  TraceRing result;
  std::string d;
  bool read_ok = ReadUpTo(fd, kEntryAreaStart, &d);
  if (read_ok && d.size() == kEntryAreaStart) {
    if (!ParseTextHeader(d, path, &result, error)) {
      close(fd);
      return false;
    }
    // Nothing behind the recorded size is ever written.
    size_t size = static_cast<size_t>(st.st_size);
    if (size > result.ringBufferSize) size = result.ringBufferSize;
    if (size > d.size()) read_ok = ReadUpTo(fd, size - d.size(), &d);
  }
  const int read_errno = errno;
  close(fd);
  if (!read_ok) return Fail(error, path, strerror(read_errno));
  if (d.size() < kEntryAreaStart) {
    return Fail(error, path,
                "too short for a trace ring-buffer file (" +
                    std::to_string(d.size()) + " bytes)");
  }
  if (d.size() < result.ringBufferSize) {
    return Fail(error, path,
                "cut short: " + std::to_string(d.size()) + " of the " +
                    std::to_string(result.ringBufferSize) +
                    " bytes its header records");
  }

  // The end marker stands at the recorded write position. A writer stopped
  // between copying an entry and recording its position leaves the marker
  // further on, behind that entry.
  size_t end = result.writePosition;
  if (end < kEntryAreaStart || end > d.size() ||
      d.compare(end, kEndMarkerSize, kEndMarker) != 0) {
    size_t found = std::string::npos;
    if (end >= kEntryAreaStart && end < d.size()) {
      found = d.find(std::string("\n") + kEndMarker, end);
    }
    if (found == std::string::npos) {
      return Fail(error, path,
                  "damaged: no end marker at or after the write position " +
                      std::to_string(result.writePosition));
    }
    end = found + 1;
  }

  // The header block at 1024, and where writing resumed behind it.
  size_t header_end = std::string::npos;
  size_t resume = kEntryAreaStart;
  for (size_t at = d.find(kHeaderBlockEnd, kEntryAreaStart);
       at != std::string::npos && at < end;
       at = d.find(kHeaderBlockEnd, at + 1)) {
    size_t line = d.rfind('\n', at);
    line = line == std::string::npos ? 0 : line + 1;
    if (IsEntryStart(d, line, at)) {
      header_end = at + sizeof(kHeaderBlockEnd) - 1;
      resume = RoundDownToKilobyte(header_end + kResumeDistance);
      if (resume > end) resume = header_end;
      break;
    }
  }

  std::vector<std::string> recent;
  CollectEntries(d, resume, end, &recent);
  size_t init_done = 0;  // entries of `recent` older than the wrap
  if (result.wrapCount > 0) {
    for (size_t i = 0; i < recent.size(); ++i) {
      const std::string& e = recent[i];
      if (e.size() >= strlen(kInitDoneText) &&
          e.compare(e.size() - strlen(kInitDoneText), std::string::npos,
                    kInitDoneText) == 0) {
        init_done = i + 1;
        break;
      }
    }
  }

  std::vector<std::string>& out = result.entries;
  out.assign(recent.begin(), recent.begin() + init_done);
  if (result.wrapCount > 0) {
    const size_t old_begin = end + kEndMarkerSize;
    CollectEntries(d, old_begin, FindWrapFill(d, old_begin), &out);
  }
  if (header_end != std::string::npos) {
    CollectEntries(d, kEntryAreaStart, header_end, &out);
  }
  out.insert(out.end(), recent.begin() + init_done, recent.end());

  *ring = std::move(result);
  return true;
}

bool WriteTraceRing(const TraceRing& ring, FILE* out) {
  for (const TraceRingHeaderField& field : ring.header) {
    fprintf(out, "%-*s: %s\n", static_cast<int>(kTitleWidth),
            field.title.c_str(), field.value.c_str());
  }
  fputc('\n', out);
  for (const std::string& entry : ring.entries) {
    fwrite(entry.data(), 1, entry.size(), out);
    fputc('\n', out);
  }
  return ferror(out) == 0;
}
