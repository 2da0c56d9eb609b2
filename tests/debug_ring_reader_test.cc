// Reading a ring-buffer file back: entries oldest first across a wrap, the
// end-of-initialisation mark, damaged files, and the ring-buffer path.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cdebug.h"
#include "debug_ring_reader.h"
#include "trace_test_util.h"

using trace_test::ReadFile;
using trace_test::WriteFile;

namespace {

// Index of the first entry containing `text`, or -1.
int Index(const std::vector<std::string>& entries, const std::string& text) {
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].find(text) != std::string::npos) return static_cast<int>(i);
  }
  return -1;
}

std::string Numbered(int i) {
  char text[32];
  snprintf(text, sizeof(text), "entry %06d ", i);
  return text;
}

// The numbers of the "entry N" entries, in the order read: they must
// follow each other without a gap.
std::vector<int> Numbers(const std::vector<std::string>& entries) {
  std::vector<int> numbers;
  for (const std::string& e : entries) {
    size_t at = e.find("entry ");
    if (at == std::string::npos) continue;
    numbers.push_back(std::stoi(e.substr(at + 6)));
    EXPECT_TRUE(numbers.size() == 1 || numbers.back() == numbers.end()[-2] + 1)
        << numbers.back();
  }
  return numbers;
}

}  // namespace

class DebugRingReaderTest : public trace_test::TraceTest {
 protected:
  // Writes numbered entries until the ring has wrapped and `after` more
  // behind the wrap, then a text of two lines; returns the number of the
  // entry that wrapped.
  int WriteAcrossWrap(CDebug& trace, int after) {
    int wrapped = -1;
    for (int i = 0; wrapped < 0 || i <= wrapped + after; ++i) {
      trace.Print(1, "\n%s%s", Numbered(i).c_str(),
                  std::string(500, 'x').c_str());
      if (wrapped < 0 && trace.GetWrapCount() == 1) wrapped = i;
    }
    trace.Print(1, "\nfirst line\nsecond line");
    return wrapped;
  }
  TraceRing Read() {
    TraceRing ring;
    std::string error;
    EXPECT_TRUE(ReadTraceRing(RingPath(), &ring, &error)) << error;
    return ring;
  }
};

TEST_F(DebugRingReaderTest, EntriesOldestFirstAcrossWrap) {
  WriteRingConfig("3", 1, 1);
  CDebug trace("Quillon", cfg_.c_str(), default_.c_str());
  const int wrapped = WriteAcrossWrap(trace, 40);
  TraceRing ring = Read();

  EXPECT_EQ(1u, ring.wrapCount);
  EXPECT_EQ(trace.GetRingBufferWritePosition(), ring.writePosition);
  ASSERT_EQ(7u, ring.header.size());
  EXPECT_EQ("NumberOpens    (decimal)", ring.header[3].title);
  EXPECT_EQ("0000000000000001", ring.header[3].value);
  EXPECT_EQ(RingPath().substr(0, 44), ring.header[0].value);

  // The survivors of the last cycle first, without gaps, up to the newest;
  // the header block of the wrap between the entry before the wrap and the
  // one that wrapped; a text of two lines is one entry.
  std::vector<int> numbers = Numbers(ring.entries);
  ASSERT_FALSE(numbers.empty());
  EXPECT_EQ(0, Index(ring.entries, "entry "));
  EXPECT_GT(numbers.front(), 0);
  EXPECT_LT(numbers.front(), wrapped);
  EXPECT_EQ(wrapped + 40, numbers.back());
  const int block = Index(ring.entries, "Kelvane Environment:");
  ASSERT_GT(block, 0);
  EXPECT_EQ(block - 1, Index(ring.entries, Numbered(wrapped - 1)));
  EXPECT_EQ(Index(ring.entries, "# End of header.") + 1,
            Index(ring.entries, Numbered(wrapped)));
  EXPECT_NE(std::string::npos,
            ring.entries.back().find("first line\nsecond line"));
}

TEST_F(DebugRingReaderTest, InitialisationEntriesComeFirstAfterWrap) {
  WriteRingConfig("3", 2, 1);  // 2 MiB: room for the mark
  CDebug trace("Quillon", cfg_.c_str(), default_.c_str());
  trace.Print(1, "\ninit step");
  trace.SetApplInitDone();
  ASSERT_NE(0u, trace.GetRingBufferInitDonePosition());
  WriteAcrossWrap(trace, 10);
  TraceRing ring = Read();

  EXPECT_EQ(0, Index(ring.entries, "### Start of work cycle. (00000001) ###"));
  EXPECT_EQ(1, Index(ring.entries, "init step"));
  EXPECT_EQ(2, Index(ring.entries, "### End of initialization. ###"));
  EXPECT_EQ(3, Index(ring.entries, "entry "));
  EXPECT_LT(3, Index(ring.entries, "# End of header."));
  Numbers(ring.entries);
}

TEST_F(DebugRingReaderTest, DamagedAndForeignFiles) {
  WriteRingConfig("3", 1, 1);
  {
    CDebug trace("Quillon", cfg_.c_str(), default_.c_str());
    trace.Print(1, "\nentry 000001");
  }
  const std::string good = ReadFile(RingPath());
  const std::string copy = trace_ + "/copy";
  TraceRing ring;
  std::string error;

  // Cut short anywhere: a clear error, never a read past the end.
  for (size_t size : {size_t{0}, size_t{80}, size_t{1023}, size_t{1024},
                      size_t{4096}, good.size() - 1}) {
    WriteFile(copy, good.substr(0, size));
    error.clear();
    EXPECT_FALSE(ReadTraceRing(copy, &ring, &error)) << size;
    EXPECT_EQ(0u, error.find(copy + ": ")) << error;
  }
  EXPECT_FALSE(ReadTraceRing(trace_ + "/missing", &ring, &error));
  WriteFile(copy, std::string(4096, 'a'));
  EXPECT_FALSE(ReadTraceRing(copy, &ring, &error));
  EXPECT_NE(std::string::npos, error.find("not a trace ring-buffer file"));

  // No end marker at or after the write position.
  const size_t marker = std::stoul(good.substr(6 * 80 + 35, 16));
  ASSERT_EQ(0, good.compare(marker, 16, "## TRACE-END ##\n"));
  std::string damaged = good;
  damaged.replace(marker, 2, "xx");
  WriteFile(copy, damaged);
  EXPECT_FALSE(ReadTraceRing(copy, &ring, &error));
  EXPECT_NE(std::string::npos, error.find("no end marker"));

  // A position field left behind by a writer that stopped after copying its
  // last entry: the marker behind that entry is found.
  char field[17];
  snprintf(field, sizeof(field), "%016zu", good.rfind('\n', marker - 2) + 1);
  damaged = good;
  damaged.replace(6 * 80 + 35, 16, field);
  WriteFile(copy, damaged);
  ASSERT_TRUE(ReadTraceRing(copy, &ring, &error)) << error;
  EXPECT_EQ(int(ring.entries.size()) - 1, Index(ring.entries, "entry 000001"));
}

TEST_F(DebugRingReaderTest, RingBufferPathFollowsTheTraceObject) {
  std::string path;
  // No configuration: the default directory.
  ASSERT_TRUE(GetTraceRingBufferPath("Quillon", &path, cfg_.c_str(),
                                     default_.c_str()));
  EXPECT_EQ(default_ + "/log.quillon_a", path);

  WriteRingConfig("3", 1, 1);
  CDebug trace("Quillon", cfg_.c_str(), default_.c_str());
  ASSERT_TRUE(GetTraceRingBufferPath("Quillon", &path, cfg_.c_str(),
                                     default_.c_str()));
  EXPECT_EQ(trace.GetRingBufferPath(), path);

  SetEnv("QZ_LOG_RINGBUF_DIR", root_.c_str());
  ASSERT_TRUE(GetTraceRingBufferPath("Quillon", &path, cfg_.c_str(),
                                     default_.c_str()));
  EXPECT_EQ(root_ + "/log.quillon_a", path);
  SetEnv("QZ_LOG_RINGBUF_DIR", std::string(250, 'd').c_str());
  EXPECT_FALSE(GetTraceRingBufferPath("Quillon", &path, cfg_.c_str(),
                                      default_.c_str()));
}
