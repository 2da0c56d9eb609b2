// The real Quillon with tracing switched on through the environment only,
// its ring-buffer file, and `pxtool trace` reading it back.

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
    return Run("Quillon_fakereboot", {dir_.path()}, true).exit_status;
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

// A command longer than an entry's 1024 characters is traced whole while it
// fits in a tenth of the ring, and cut with the notice beyond; the run log
// has it whole either way. The longer one is too long for the kernel to
// start a shell with: the shell's exit status 127, judged as any other.
TEST_F(TraceE2eTest, LongCommandsInTheTraceAndTheRunLog) {
  const std::string whole = ": " + std::string(50000, 'w'), cut = ": " + std::string(200000, 'c');
  WriteFile(dir_ / "px.arg", ArgText({"[Commands]", "0 000 " + whole, "0 000 " + cut, "[End]"}));
  ASSERT_EQ(0, Run("Quillon_fakereboot", {dir_.path()}, true).exit_status);
  const std::string ring = ReadFile(ring_), log = ReadFile(dir_ / "Quillon.log");
  EXPECT_NE(std::string::npos, ring.find("Quillon       : exec command <" + whole + ">\n"));
  const std::string shown = ("Quillon       : exec command <" + cut).substr(0, 1024);
  EXPECT_NE(std::string::npos,
            ring.find(shown + "\n## WARNING: TRACE-SIZE TOO BIG: Output Truncated!\n"));
  EXPECT_NE(std::string::npos, log.find("exec command <" + whole + ">\n"));
  EXPECT_NE(std::string::npos, log.find("exec command <" + cut + ">\n"));
  EXPECT_NE(std::string::npos, ReadFile(dir_ / "px.arg").find("1 000 " + whole + "\r\n1 127 " + cut));
}

}  // namespace
}  // namespace quillon_test
