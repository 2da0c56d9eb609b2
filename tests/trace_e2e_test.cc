// The real Quillon with tracing switched on through the environment only,
// its ring-buffer file, and `pxtool trace` reading it back.

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trace_test_util.h"

using trace_test::ReadFile;
using trace_test::WriteFile;

namespace {

const char* const kDriverLines[] = {
    "Quillon       : Version 3.03.05",
    "Quillon       : Use command section '[Commands]'",
    "Quillon       : exec command <true>",
    "Quillon       : Quillon return code: 0x0",
};

// Offset behind `what` at or after `from` in `text`; npos when missing.
size_t After(const std::string& text, const std::string& what, size_t from) {
  size_t at = text.find(what, from);
  return at == std::string::npos ? at : at + what.size();
}

class TraceE2eTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillon_trace_e2e_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    ring_ = dir_ + "/log.quillon_a";
  }
  void TearDown() override {
    EXPECT_EQ(0, system(("rm -rf '" + dir_ + "'").c_str()));
  }

  // Runs `program args` in the directory with the trace variables of the
  // test's own environment removed and `env` added; keeps standard output.
  int Run(const std::string& env, const std::string& program,
          const std::string& args) {
    std::string command =
        "cd '" + dir_ + "' && env -u QZ_LOG_RINGBUF_DIR -u QZ_LOG_DEBUG_LEVEL "
        "-u TraceFileLimit -u QZ_LOG_RINGBUF_WEIGHT -u QZ_LOG_DYNAMIC_UPDATE "
        "-u QZ_LOG_RINGBUF_WEIGHT_QUILLON -u QZ_LOG_FILE_MAX_SIZE " + env +
        " '" + QUILLON_BIN_DIR + "/" + program + "' " + args +
        " >.stdout 2>.stderr";
    int status = system(command.c_str());
    out_ = ReadFile(dir_ + "/.stdout");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Level 3, a ring buffer of one unit, the trace directory in the test's.
  std::string TraceEnv() const {
    return "QZ_LOG_DEBUG_LEVEL=3 TraceFileLimit=1 QZ_LOG_RINGBUF_WEIGHT=1 "
           "QZ_LOG_RINGBUF_DIR='" + dir_ + "'";
  }
  int RunQuillon() {
    WriteFile(dir_ + "/px.arg", "[Commands]\r\n0 000 true\r\n[End]\r\n");
    return Run(TraceEnv(), "Quillon", "'" + dir_ + "'");
  }

  std::string dir_, ring_, out_;
};

TEST_F(TraceE2eTest, RunWritesRingAndPxtoolReadsItInOrder) {
  ASSERT_EQ(0, RunQuillon());
  const std::string ring = ReadFile(ring_);
  const size_t unit = static_cast<size_t>(sysconf(_SC_PAGESIZE)) * 256;
  ASSERT_EQ(unit, ring.size());

  // Text header, then the header block and the driver's lines in order.
  char fields[64];  // NumberOpens, WrapCount, RingBufferSize
  snprintf(fields, sizeof(fields), "%016u %016u %016zu ", 1, 0, unit);
  EXPECT_EQ(0u, ring.find("FilePath" + std::string(25, ' ') + ": " +
                          ring_.substr(0, 44)));
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(ring.substr((3 + i) * 80 + 35, 17),
              std::string(fields + 17 * i, 17));
  }
  EXPECT_EQ(560u, ring.find(std::string(78, '-') + "+\n"));
  size_t at = 1024;
  for (const std::string& line : std::vector<std::string>{
           "Kelvane Environment:", "QZ_LOG_DEBUG_LEVEL=3",
           "Ring Buffer Directory      : " + dir_, "# End of header.",
           "### Start of work cycle. (00000001) ###"}) {
    at = After(ring, line + "\n", at);
    ASSERT_NE(std::string::npos, at) << line;
  }
  for (const char* line : kDriverLines) {
    at = After(ring, std::string(line) + "\n", at);
    ASSERT_NE(std::string::npos, at) << line;
  }
  EXPECT_EQ(at, ring.find("## TRACE-END ##\n", at));

  // pxtool, with and without the trace variables (the default file is then
  // found through them), prints the same log and leaves the file alone.
  ASSERT_EQ(0, Run("", "pxtool", "trace log.quillon_a"));
  const std::string printed = out_;
  ASSERT_EQ(0, Run(TraceEnv(), "pxtool", "trace"));
  EXPECT_EQ(printed, out_);
  EXPECT_EQ(ring, ReadFile(ring_));
  EXPECT_EQ(0u, printed.find("FilePath                         : "));
  at = After(printed, "\n\n", 0);
  for (const char* line : kDriverLines) {
    at = After(printed, std::string(line) + "\n", at);
    ASSERT_NE(std::string::npos, at) << line;
  }

  // The next run reuses the file; the log goes on behind the first run.
  ASSERT_EQ(0, RunQuillon());
  ASSERT_EQ(0, Run("", "pxtool", "trace log.quillon_a"));
  at = After(out_, "NumberOpens    (decimal)         : 0000000000000002\n", 0);
  for (const std::string& line : std::vector<std::string>{
           kDriverLines[3], "### Start of work cycle. (00000002) ###",
           kDriverLines[0], kDriverLines[3]}) {
    at = After(out_, line + "\n", at);
    ASSERT_NE(std::string::npos, at) << line;
  }

  // A file that is no ring buffer: a message naming it, status 1.
  EXPECT_EQ(1, Run("", "pxtool", "trace px.arg"));
  EXPECT_NE(std::string::npos,
            ReadFile(dir_ + "/.stderr").find("px.arg: too short"));
}

}  // namespace
