// The ring-buffer file: layout after creation, reuse by the next process,
// size changes, wraps, oversized entries, the end-of-initialisation mark
// and the header block.

#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "cdebug.h"
#include "trace_test_util.h"

using trace_test::kPlainHeaderLength;
using trace_test::ReadFile;

namespace {

const char kEndMarker[] = "## TRACE-END ##\n";

size_t RingUnit() {
  long page = sysconf(_SC_PAGESIZE);
  return static_cast<size_t>(page > 0 ? page : 4096) * 256;
}

// An 80-byte header line; `value` is cut to the 44-byte field.
std::string HeaderLine(const std::string& title, const std::string& value) {
  std::string field = value.substr(0, 44);
  if (field.size() < 44) field += std::string(43 - field.size(), ' ') + "|";
  return title + std::string(33 - title.size(), ' ') + ": " + field + "\n";
}

std::string Number(size_t value) {
  char text[32];
  snprintf(text, sizeof(text), "%016zu ", value);
  return text;
}

bool IsEntryHeader(const std::string& text) {
  static const std::regex pattern(
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[[0-9A-F]{8}\\] "
      "Quillon       ");
  return std::regex_match(text, pattern);
}

// Texts of the entries from `offset` through the one reading `last`;
// `*end` receives the offset behind it.
std::vector<std::string> Entries(const std::string& file, size_t offset,
                                 const std::string& last, size_t* end) {
  std::vector<std::string> texts;
  for (size_t eol; (eol = file.find('\n', offset)) != std::string::npos;) {
    std::string line = file.substr(offset, eol - offset);
    EXPECT_TRUE(IsEntryHeader(line.substr(0, kPlainHeaderLength))) << line;
    texts.push_back(line.substr(kPlainHeaderLength));
    offset = eol + 1;
    if (texts.back() == last) break;
  }
  *end = offset;
  return texts;
}

}  // namespace

class DebugRingBufferTest : public trace_test::TraceTest {
 protected:
  // Writes entries of 1003 bytes of text until the ring wraps; returns the
  // write position before the wrapping entry.
  size_t FillUntilWrap(CDebug& trace) {
    size_t before = 0;
    for (int i = 0; trace.GetWrapCount() == 0 && i < 100000; ++i) {
      before = trace.GetRingBufferWritePosition();
      trace.Print(1, "fill %06d %s", i, std::string(990, 'x').c_str());
    }
    return before;
  }
};

TEST_F(DebugRingBufferTest, LayoutAfterCreation) {
  WriteRingConfig("1", 1, 1);
  CDebug trace("Quillon", cfg_.c_str(), nullptr);
  ASSERT_EQ(2u, trace.GetTarget());
  const std::string file = ReadFile(RingPath());
  const size_t size = RingUnit();
  ASSERT_EQ(size, file.size());

  std::string start = trace.GetStartTime();
  start.pop_back();  // its line end
  ASSERT_GT(RingPath().size(), 44u);  // cut, and the "|" overwritten
  const size_t position = trace.GetRingBufferWritePosition();
  EXPECT_EQ(HeaderLine("FilePath", RingPath()) + HeaderLine("FirstOpen", start) +
                HeaderLine("LastOpen", start) +
                HeaderLine("NumberOpens    (decimal)", Number(1)) +
                HeaderLine("WrapCount      (decimal)", Number(0)) +
                HeaderLine("RingBufferSize (decimal)", Number(size)) +
                HeaderLine("CurrentWritePosition (dec bytes)", Number(position)) +
                std::string(78, '-') + "+\n" + std::string(383, ' ') + "\n",
            file.substr(0, 1024));

  // The header block: 80 entries from 1024, the end marker behind it.
  size_t end = 0;
  std::vector<std::string> block = Entries(file, 1024, "# End of header.", &end);
  ASSERT_EQ(80u, block.size());
  EXPECT_EQ("Kelvane Environment:", block[0]);
  EXPECT_EQ("QZ_LOG_RINGBUF_WEIGHT_QUILLON=NotSet", block[42]);
  EXPECT_EQ("RingBufferDirectory        : " + trace_, block[62]);
  EXPECT_EQ("No Header to LogFile       : -1", block[63]);
  EXPECT_EQ("Trace Target               : 2", block[66]);
  EXPECT_EQ("Ring Buffer FD             : " +
                std::to_string(trace.GetRingBufferDescriptor()),
            block[72]);
  EXPECT_EQ("Ring Buffer Size           : " + std::to_string(size), block[75]);
  EXPECT_EQ(kEndMarker, file.substr(end, 16));

  // The work cycle starts at the kilobyte boundary 1 to 2 KiB behind.
  const size_t cycle = (end + 2048) & ~size_t{1023};
  EXPECT_EQ("### Start of work cycle. (00000001) ###\n",
            file.substr(cycle + kPlainHeaderLength, 40));
  EXPECT_EQ(cycle + kPlainHeaderLength + 40, position);
  EXPECT_EQ(kEndMarker, file.substr(position, 16));

  // Filler lines from the next kilobyte to the end of the file.
  const std::string underscores(1023 - kPlainHeaderLength, '_');
  for (size_t line = (position + 1024) & ~size_t{1023}; line < size;
       line += 1024) {
    ASSERT_TRUE(IsEntryHeader(file.substr(line, kPlainHeaderLength))) << line;
    ASSERT_EQ(underscores + "\n",
              file.substr(line + kPlainHeaderLength, underscores.size() + 1));
  }
}

TEST_F(DebugRingBufferTest, ReuseAcrossRuns) {
  WriteRingConfig("1", 1, 1);
  std::string first_open;
  size_t position = 0;
  {
    CDebug trace("Quillon", cfg_.c_str(), nullptr);
    trace.Print(1, "first run entry");
    first_open = ReadFile(RingPath()).substr(115, 44);
    position = trace.GetRingBufferWritePosition();
  }
  for (int run = 2; run <= 3; ++run) {
    CDebug trace("Quillon", cfg_.c_str(), nullptr);
    ASSERT_EQ(2u, trace.GetTarget());
    const std::string file = ReadFile(RingPath());
    std::string start = trace.GetStartTime();
    start.pop_back();
    EXPECT_EQ(first_open, file.substr(115, 44));
    EXPECT_EQ(start, file.substr(195, start.size()));
    EXPECT_EQ(Number(run), file.substr(275, 17));
    char cycle[64];
    snprintf(cycle, sizeof(cycle), "### Start of work cycle. (%08d) ###\n", run);
    EXPECT_EQ(cycle, file.substr(position + kPlainHeaderLength, 40));
    position = trace.GetRingBufferWritePosition();
    EXPECT_EQ(Number(position), file.substr(515, 17));
    EXPECT_EQ(kEndMarker, file.substr(position, 16));
    EXPECT_NE(std::string::npos, file.find("first run entry\n"));
  }
}

TEST_F(DebugRingBufferTest, SizeChangesOfAReusedFile) {
  // Raised size: the shorter file is laid out anew.
  WriteRingConfig("1", 1, 1);
  { CDebug trace("Quillon", cfg_.c_str(), nullptr); }
  WriteRingConfig("1", 1, 2);
  {
    CDebug trace("Quillon", cfg_.c_str(), nullptr);
    ASSERT_EQ(2u, trace.GetTarget());
    const std::string file = ReadFile(RingPath());
    EXPECT_EQ(2 * RingUnit(), file.size());
    EXPECT_EQ(Number(1), file.substr(275, 17));
    EXPECT_EQ(Number(2 * RingUnit()), file.substr(435, 17));
    while (trace.GetRingBufferWritePosition() < RingUnit() + 4096) {
      trace.Print(1, "%s", std::string(1000, 'y').c_str());
    }
  }
  // Lowered size: reused, its size field unchanged; the stored position
  // lies beyond the new size, so the first entry wraps.
  WriteRingConfig("1", 1, 1);
  CDebug trace("Quillon", cfg_.c_str(), nullptr);
  ASSERT_EQ(2u, trace.GetTarget());
  EXPECT_EQ(1u, trace.GetWrapCount());
  const std::string file = ReadFile(RingPath());
  EXPECT_EQ(Number(2), file.substr(275, 17));
  EXPECT_EQ(Number(2 * RingUnit()), file.substr(435, 17));
  EXPECT_LT(trace.GetRingBufferWritePosition(), RingUnit());
  EXPECT_EQ(kEndMarker, file.substr(trace.GetRingBufferWritePosition(), 16));
}

TEST_F(DebugRingBufferTest, WrapWithoutAndWithInitMark) {
  WriteRingConfig("1", 1, 1);
  {
    CDebug trace("Quillon", cfg_.c_str(), nullptr);
    trace.SetApplInitDone();  // 1 MiB: never more than 1 MiB left
    EXPECT_EQ(0u, trace.GetRingBufferInitDonePosition());
    const size_t before = FillUntilWrap(trace);
    const std::string file = ReadFile(RingPath());
    EXPECT_EQ(std::string(RingUnit() - before, '.'), file.substr(before));
    EXPECT_EQ(Number(1), file.substr(355, 17));
    size_t end = 0;
    ASSERT_EQ(80u, Entries(file, 1024, "# End of header.", &end).size());
    const size_t entry = (end + 2048) & ~size_t{1023};
    EXPECT_EQ("fill ", file.substr(entry + kPlainHeaderLength, 5));
    const size_t position = trace.GetRingBufferWritePosition();
    EXPECT_EQ(entry + kPlainHeaderLength + 1003, position);
    EXPECT_EQ(Number(position), file.substr(515, 17));
    EXPECT_EQ(kEndMarker, file.substr(position, 16));
  }

  // 2 MiB: the mark is set, and the command line heads the new block.
  unlink(RingPath().c_str());
  WriteRingConfig("1", 1, 2);
  CDebug trace("Quillon", cfg_.c_str(), nullptr);
  char arg0[] = "prog", arg1[] = "-update", arg2[] = "two words";
  char* argv[] = {arg0, arg1, arg2, nullptr};
  trace.SetMainParams(3, argv);
  trace.Print(1, "init entry");
  trace.SetApplInitDone();
  const size_t mark = trace.GetRingBufferInitDonePosition();
  ASSERT_NE(0u, mark);
  EXPECT_NE(std::string::npos,
            ReadFile(LogPath()).find("argv[2] = \"two words\"\n"));
  FillUntilWrap(trace);
  const std::string file = ReadFile(RingPath());
  size_t end = 0;
  std::vector<std::string> block = Entries(file, 1024, "# End of header.", &end);
  ASSERT_EQ(84u, block.size());
  EXPECT_EQ("Quillon Command Line Options:", block[0]);
  EXPECT_EQ("argv[0] = \"prog\"", block[1]);
  EXPECT_EQ("argv[2] = \"two words\"", block[3]);
  EXPECT_EQ("Application Init Done      : 1", block[73]);
  EXPECT_EQ("fill ", file.substr(mark + kPlainHeaderLength, 5));
  EXPECT_NE(std::string::npos, file.find("init entry\n"));
  EXPECT_NE(std::string::npos, file.find("### End of initialization. ###\n"));
}

TEST_F(DebugRingBufferTest, OversizedEntries) {
  WriteRingConfig("1", 1, 1);
  CDebug trace("Quillon", cfg_.c_str(), nullptr);
  const std::string medium(2000, 'm');
  trace.Print(1, "%s", medium.c_str());
  trace.Print(1, "%s", std::string(300000, 'h').c_str());
  const std::string file = ReadFile(RingPath());
  EXPECT_NE(std::string::npos, file.find("Quillon       " + medium + "\n"));
  EXPECT_NE(std::string::npos,
            file.find("Quillon       " + std::string(1024, 'h') +
                      "\n## WARNING: TRACE-SIZE TOO BIG: Output Truncated!\n" +
                      kEndMarker));
  EXPECT_EQ(std::string::npos, file.find(std::string(1025, 'h')));
}
