// The real Quillon with tracing switched on through the environment only,
// its ring-buffer file, and `pxtool trace` reading it back.

#include <unistd.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace quillon_test {
namespace {

const char* const kDriverLines[] = {
    "Quillon       : Version 3.03.05",
    "Quillon       : Use command section '[Commands]'",
    "Quillon       : exec command <true>",
    "Quillon       : Quillon return code: 0x0",
};

// Finds `lines` in `text` in this order from `at` on, each ended by a line
// feed; returns the offset behind the last one, npos when one is missing.
size_t InOrder(const std::string& text, size_t at, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    size_t found = text.find(line + "\n", at);
    EXPECT_NE(std::string::npos, found) << line;
    if (found == std::string::npos) return found;
    at = found + line.size() + 1;
  }
  return at;
}

class TraceE2eTest : public testing::Test {
 protected:
  // Runs `program args` in the directory; the test's own trace variables are
  // not passed on, those of `traced` runs are.
  ProgramResult Run(const std::string& program, const std::vector<std::string>& args,
                    bool traced) {
    ProgramOptions options;
    options.cwd = dir_.path();
    if (traced)
      options.env = {"QZ_LOG_DEBUG_LEVEL=3", "TraceFileLimit=1", "QZ_LOG_RINGBUF_WEIGHT=1",
                     "QZ_LOG_RINGBUF_DIR=" + dir_.path()};
    return RunProgram(std::string(QUILLON_BIN_DIR) + "/" + program, args, options);
  }
  int RunQuillon() {
    WriteFile(dir_ / "px.arg", "[Commands]\r\n0 000 true\r\n[End]\r\n");
    return Run("Quillon", {dir_.path()}, true).exit_status;
  }
  ScopedTempDir dir_;
  const std::string ring_ = dir_ / "log.quillon_a";
  const std::vector<std::string> driver_{std::begin(kDriverLines), std::end(kDriverLines)};
};

TEST_F(TraceE2eTest, RunWritesRingAndPxtoolReadsItInOrder) {
  ASSERT_EQ(0, RunQuillon());
  const std::string ring = ReadFile(ring_);
  const size_t unit = static_cast<size_t>(sysconf(_SC_PAGESIZE)) * 256;
  ASSERT_EQ(unit, ring.size());

  // The header block (its layout is the ring buffer's own test) and the
  // driver's lines in order.
  EXPECT_EQ(0u, ring.find("FilePath" + std::string(25, ' ') + ": " + ring_.substr(0, 44)));
  size_t at = InOrder(ring, 1024, {"Kelvane Environment:", "QZ_LOG_DEBUG_LEVEL=3",
                                   "Ring Buffer Directory      : " + dir_.path(),
                                   "# End of header.", "### Start of work cycle. (00000001) ###"});
  at = InOrder(ring, at, driver_);
  EXPECT_EQ(at, ring.find("## TRACE-END ##\n", at));

  // pxtool, with and without the trace variables (the default file is then
  // found through them), prints the same log and leaves the file alone.
  ProgramResult printed = Run("pxtool", {"trace", "log.quillon_a"}, false);
  ASSERT_EQ(0, printed.exit_status);
  EXPECT_EQ(printed.out, Run("pxtool", {"trace"}, true).out);
  EXPECT_EQ(ring, ReadFile(ring_));
  InOrder(printed.out, 0, driver_);

  // The next run reuses the file; the log goes on behind the first run.
  ASSERT_EQ(0, RunQuillon());
  printed = Run("pxtool", {"trace", "log.quillon_a"}, false);
  InOrder(printed.out, 0, {"NumberOpens    (decimal)         : 0000000000000002", driver_[3],
                           "### Start of work cycle. (00000002) ###", driver_[0], driver_[3]});

}

}  // namespace
}  // namespace quillon_test
