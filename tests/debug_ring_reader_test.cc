// Reading a ring-buffer file back: entries oldest first across a wrap, the
// end-of-initialisation mark, damaged files.

#include "cdebug.h"
#include "debug_ring_reader.h"
#include "test_util.h"

namespace quillon_test {
namespace {

// Index of the first entry containing `text`, or -1.
int Index(const std::vector<std::string>& entries, const std::string& text) {
  for (size_t i = 0; i < entries.size(); ++i)
    if (entries[i].find(text) != std::string::npos) return static_cast<int>(i);
  return -1;
}

std::string Numbered(int i) {
  char text[32];
  snprintf(text, sizeof(text), "entry %06d ", i);
  return text;
}

class DebugRingReaderTest : public TraceTest {
 protected:
  // Writes numbered entries until the ring has wrapped and `after` more
  // behind the wrap, then a text of two lines; returns the number of the
  // entry that wrapped.
  int WriteAcrossWrap(CDebug& trace, int after) {
    int wrapped = -1;
    for (int i = 0; (wrapped < 0 && i < 100000) || i <= wrapped + after; ++i) {
      trace.Print(1, "\n%s%s", Numbered(i).c_str(), std::string(500, 'x').c_str());
      if (wrapped < 0 && trace.GetWrapCount() > 0) wrapped = i;
    }
    trace.Print(1, "\nfirst line\nsecond line");
    return wrapped;
  }
  // The numbers of the "entry N" entries read, which must follow each other
  // without a gap.
  std::vector<int> Read(TraceRing* ring) {
    std::string error;
    EXPECT_TRUE(ReadTraceRing(RingPath(), ring, &error)) << error;
    std::vector<int> numbers;
    for (const std::string& e : ring->entries) {
      if (e.find("entry ") == std::string::npos) continue;
      numbers.push_back(std::stoi(e.substr(e.find("entry ") + 6)));
      EXPECT_TRUE(numbers.size() == 1 || numbers.back() == numbers.end()[-2] + 1) << e;
    }
    return numbers;
  }
};

TEST_F(DebugRingReaderTest, EntriesOldestFirstAcrossWrap) {
  WriteRingConfig("3", 1, 1);
  CDebug trace("Quillon", cfg_.c_str(), default_.c_str());
  const int wrapped = WriteAcrossWrap(trace, 40);
  TraceRing ring;
  std::vector<int> numbers = Read(&ring);
  EXPECT_EQ(1u, ring.wrapCount);
  ASSERT_EQ(7u, ring.header.size());
  EXPECT_EQ("0000000000000001", ring.header[3].value);

  // The survivors of the last cycle first, up to the newest; the header
  // block of the wrap between the entry before the wrap and the one that
  // wrapped; a text of two lines is one entry.
  ASSERT_FALSE(numbers.empty());
  EXPECT_EQ(0, Index(ring.entries, "entry "));
  EXPECT_LT(numbers.front(), wrapped);
  EXPECT_EQ(wrapped + 40, numbers.back());
  const int block = Index(ring.entries, "Kelvane Environment:");
  ASSERT_GT(block, 0);
  EXPECT_EQ(block - 1, Index(ring.entries, Numbered(wrapped - 1)));
  EXPECT_EQ(Index(ring.entries, "# End of header.") + 1, Index(ring.entries, Numbered(wrapped)));
  EXPECT_NE(std::string::npos, ring.entries.back().find("first line\nsecond line"));

  // With the end-of-initialisation mark (2 MiB), the entries before it come
  // first.
  WriteRingConfig("3", 2, 1);
  unlink(RingPath().c_str());
  CDebug marked("Quillon", cfg_.c_str(), default_.c_str());
  marked.Print(1, "\ninit step");
  marked.SetApplInitDone();
  ASSERT_NE(0u, marked.GetRingBufferInitDonePosition());
  WriteAcrossWrap(marked, 10);
  Read(&ring);
  EXPECT_EQ(0, Index(ring.entries, "### Start of work cycle. (00000001) ###"));
  EXPECT_EQ(1, Index(ring.entries, "init step"));
  EXPECT_EQ(2, Index(ring.entries, "### End of initialization. ###"));
  EXPECT_EQ(3, Index(ring.entries, "entry "));
}

TEST_F(DebugRingReaderTest, DamagedAndForeignFiles) {
  WriteRingConfig("3", 1, 1);
  CDebug("Quillon", cfg_.c_str(), default_.c_str()).Print(1, "\nentry 000001");
  const std::string good = ReadFile(RingPath()), copy = trace_ + "/copy";
  TraceRing ring;
  std::string error;
  auto read = [&](const std::string& text) {
    WriteFile(copy, text);
    error.clear();
    return ReadTraceRing(copy, &ring, &error);
  };
  // Cut short anywhere: a clear error, never a read past the end.
  for (size_t size : {size_t{80}, size_t{4096}, good.size() - 1}) {
    EXPECT_FALSE(read(good.substr(0, size))) << size;
    EXPECT_EQ(0u, error.find(copy + ": ")) << error;
  }
  EXPECT_FALSE(read(std::string(4096, 'a')));
  EXPECT_NE(std::string::npos, error.find("not a trace ring-buffer file"));
  // No end marker at or after the write position.
  const size_t marker = std::stoul(good.substr(6 * 80 + 35, 16));
  EXPECT_FALSE(read(std::string(good).replace(marker, 2, "xx")));
  EXPECT_NE(std::string::npos, error.find("no end marker"));
  // A position field left behind by a writer that stopped after copying its
  // last entry: the marker behind that entry is found.
  char field[17];
  snprintf(field, sizeof(field), "%016zu", good.rfind('\n', marker - 2) + 1);
  ASSERT_TRUE(read(std::string(good).replace(6 * 80 + 35, 16, field))) << error;
  EXPECT_EQ(int(ring.entries.size()) - 1, Index(ring.entries, "entry 000001"));
}

}  // namespace
}  // namespace quillon_test
