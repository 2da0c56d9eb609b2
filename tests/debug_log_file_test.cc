// The trace log file: entry layout, the size bound with its wrap line, and
// the restart point set by SetApplInitDone.

#include "cdebug.h"
#include "test_util.h"

namespace quillon_test {
namespace {

class DebugLogFileTest : public TraceTest {
 protected:
  // Level 1, no ring buffer, entries sent to the log file.
  void SetUp() override {
    TraceTest::SetUp();
    WriteAppConfig("FileDebugLevel = 1\nMemoryTracesFlag = 0\n");
  }
  // The text of the entry at `offset`, its line end included.
  std::string EntryAt(const std::string& file, size_t offset) {
    size_t text = offset + kPlainHeaderLength;
    return file.substr(text, file.find('\n', text) + 1 - text);
  }
};

TEST_F(DebugLogFileTest, EntryLayoutAndWrapAtTheDefaultBound) {
  CDebug trace("Quillon", cfg_.c_str(), nullptr);
  trace.SetTarget(TRACE_TARGET_LOGFILE);
  trace.Print(1, "\n\nleading %s", "line ends");
  trace.Print(1, "own line end\n");
  trace.Print(1, "%s", std::string(1500, 'c').c_str());
  const std::string h(kPlainHeaderLength, '.');
  std::string file = ReadFile(LogPath());
  EXPECT_EQ(h + "leading line ends\n" + h + "own line end\n" + h + std::string(1024, 'c') +
                "\n",  // cut without notice
            std::regex_replace(file, std::regex(".{23} \\[[0-9A-F]{8}\\] Quillon       "), h));

  // The entry that passes the bound is complete, the file not truncated,
  // and the wrap line stands at offset 0.
  const size_t entry = kPlainHeaderLength + 1012;  // "entry NNNN " + 1000 + LF
  size_t written = file.size();
  for (int i = 0; written <= 51200; ++i, written += entry)
    trace.Print(1, "entry %04d %s", i, std::string(1000, 'w').c_str());
  file = ReadFile(LogPath());
  EXPECT_EQ(written, file.size());
  EXPECT_EQ(0u, EntryAt(file, written - entry).find("entry 0047 www"));
  const std::string wrap =
      "------ WRAP ----- Cycle=1, CntInitEnd=0, CurrentByteCnt=0 (MaxCnt=51200)\n";
  EXPECT_EQ(wrap, EntryAt(file, 0));
}

TEST_F(DebugLogFileTest, WrapReturnsToTheInitEnd) {
  SetEnv("QZ_LOG_FILE_MAX_SIZE", "6000");
  CDebug trace("Quillon", cfg_.c_str(), nullptr);
  trace.PrintAlways("%s", std::string(3000, 'i').c_str());
  trace.SetApplInitDone();
  const std::string kept = ReadFile(LogPath()), at = std::to_string(kept.size());
  trace.SetTarget(TRACE_TARGET_LOGFILE);
  for (int i = 0; i < 6; ++i) trace.Print(1, "%s", std::string(900, 'r').c_str());
  const std::string file = ReadFile(LogPath());
  EXPECT_EQ(kept, file.substr(0, kept.size()));
  EXPECT_EQ("------ WRAP ----- Cycle=1, CntInitEnd=" + at + ", CurrentByteCnt=" + at +
                " (MaxCnt=6000)\n",
            EntryAt(file, kept.size()));
}

}  // namespace
}  // namespace quillon_test
