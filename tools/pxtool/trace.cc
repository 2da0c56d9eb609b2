// pxtool trace [FILE]: the trace ring buffer as a log, oldest entry first.

#include "pxtool.h"

#include <string>

#include "debug_ring_reader.h"

namespace pxtool {

int RunTrace(const CommandLine& line) {
  if (line.operands().size() > 1) return line.UsageError("takes at most one FILE");
  std::string path;
  if (line.operands().size() == 1) {
    path = line.operands()[0];
  } else if (!GetTraceRingBufferPath("Quillon", &path)) {
    return Fail("the configured trace directory gives a ring-buffer path longer than 255 "
                "characters");
  }
  TraceRing ring;
  std::string error;
  if (!ReadTraceRing(path, &ring, &error))
    return Fail("cannot read the trace %s", error.c_str());
  if (!WriteTraceRing(ring, stdout)) {
    perror("pxtool: standard output");
    return kExitFailure;
  }
  return kExitSuccess;
}

}  // namespace pxtool
