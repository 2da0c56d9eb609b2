// The ring-buffer file: layout after creation, reuse by the next process,
// size changes, wraps, oversized entries, the end-of-initialisation mark
// and the header block.

#include <sys/mount.h>

#include "cdebug.h"
#include "test_util.h"

namespace quillon_test {
namespace {

const char kEndMarker[] = "## TRACE-END ##\n";
const size_t kUnit = static_cast<size_t>(sysconf(_SC_PAGESIZE)) * 256;

// The value of text-header line `line` as written: 16 digits and a blank.
std::string Field(const std::string& file, int line) { return file.substr(line * 80 + 35, 17); }

std::string Number(size_t value) {
  char text[32];
  snprintf(text, sizeof(text), "%016zu ", value);
  return text;
}

// Texts of the header-block entries from 1024 on; `*end` receives the
// offset behind the block.
std::vector<std::string> Block(const std::string& file, size_t* end) {
  std::vector<std::string> texts;
  for (size_t at = 1024, eol; (eol = file.find('\n', at)) != std::string::npos; at = eol + 1) {
    texts.push_back(file.substr(at + kPlainHeaderLength, eol - at - kPlainHeaderLength));
    *end = eol + 1;
    if (texts.back() == "# End of header.") break;
  }
  return texts;
}

// A tmpfs of `size` mounted on `dir` while the object lives; mounted() is
// false where mounting is not allowed (not root, a container).
class ScopedTmpfs {
 public:
  ScopedTmpfs(const std::string& dir, const std::string& size) : dir_(dir) {
    mounted_ = mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~ScopedTmpfs() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string dir_;
  bool mounted_;
};

class DebugRingBufferTest : public TraceTest {
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
  ASSERT_EQ(kUnit, file.size());
  // The text header: its lines are read back by the reader's test and
  // `pxtool trace`; here the numbers.
  const size_t position = trace.GetRingBufferWritePosition();
  EXPECT_EQ(Number(1) + Number(0) + Number(kUnit) + Number(position),
            Field(file, 3) + Field(file, 4) + Field(file, 5) + Field(file, 6));

  // The header block from 1024, then the work cycle at the kilobyte
  // boundary 1 to 2 KiB behind it.
  size_t end = 0;
  ASSERT_EQ(80u, Block(file, &end).size());
  const size_t cycle = (end + 2048) & ~size_t{1023};
  EXPECT_EQ("### Start of work cycle. (00000001) ###\n" + std::string(kEndMarker),
            file.substr(cycle + kPlainHeaderLength, 56));
  EXPECT_EQ(cycle + kPlainHeaderLength + 40, position);
  // Oversized entries: trace_e2e_test.cc (LongCommandsInTheTraceAndTheRunLog).
}

TEST_F(DebugRingBufferTest, ReuseAndSizeChanges) {
  // Plain reuse: trace_e2e_test.cc (the second run) and cdebug_test.cc.
  WriteRingConfig("1", 1, 1);
  std::string first_open;
  {
    CDebug trace("Quillon", cfg_.c_str(), nullptr);
    first_open = ReadFile(RingPath()).substr(115, 44);
  }
  { CDebug trace("Quillon", cfg_.c_str(), nullptr); }
  EXPECT_EQ(first_open, ReadFile(RingPath()).substr(115, 44));
  // Raised size: the shorter file is laid out anew.
  WriteRingConfig("1", 1, 2);
  {
    CDebug trace("Quillon", cfg_.c_str(), nullptr);
    const std::string file = ReadFile(RingPath());
    EXPECT_EQ(2 * kUnit, file.size());
    EXPECT_EQ(Number(1), Field(file, 3));
    while (trace.GetRingBufferWritePosition() < kUnit + 4096)
      trace.Print(1, "%s", std::string(1000, 'y').c_str());
  }
  // Lowered size: reused, its size field unchanged; the stored position
  // lies beyond the new size, so the first entry wraps.
  WriteRingConfig("1", 1, 1);
  CDebug trace("Quillon", cfg_.c_str(), nullptr);
  EXPECT_EQ(1u, trace.GetWrapCount());
  const std::string file = ReadFile(RingPath());
  EXPECT_EQ(Number(2), Field(file, 3));
  EXPECT_EQ(Number(2 * kUnit), Field(file, 5));
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
    EXPECT_EQ(std::string(kUnit - before, '.'), file.substr(before));
    EXPECT_EQ(Number(1), Field(file, 4));
    size_t end = 0;
    ASSERT_EQ(80u, Block(file, &end).size());
    const size_t entry = (end + 2048) & ~size_t{1023};
    EXPECT_EQ("fill ", file.substr(entry + kPlainHeaderLength, 5));
    EXPECT_EQ(kEndMarker, file.substr(entry + kPlainHeaderLength + 1003, 16));
  }

  // 2 MiB: the mark is set, and the command line heads the new block.
  unlink(RingPath().c_str());
  WriteRingConfig("1", 1, 2);
  CDebug trace("Quillon", cfg_.c_str(), nullptr);
  char arg0[] = "prog", arg1[] = "-update", arg2[] = "two words";
  char* argv[] = {arg0, arg1, arg2, nullptr};
  trace.SetMainParams(3, argv);
  trace.SetApplInitDone();
  const size_t mark = trace.GetRingBufferInitDonePosition();
  ASSERT_NE(0u, mark);
  FillUntilWrap(trace);
  const std::string file = ReadFile(RingPath());
  size_t end = 0;
  std::vector<std::string> block = Block(file, &end);
  ASSERT_EQ(84u, block.size());
  EXPECT_EQ("Quillon Command Line Options:", block[0]);
  EXPECT_EQ("fill ", file.substr(mark + kPlainHeaderLength, 5));
}

// The ring's size is bounded: a weight out of range gives weight 1, and the
// ring never takes the last 64 MiB of its file system (made smaller, or not
// created at all). The trace directory is an 80 MiB tmpfs, 16 MiB beyond
// that margin.
TEST_F(DebugRingBufferTest, SizeBoundedByWeightRangeAndFreeSpace) {
  ScopedTmpfs fs(trace_, "80m");
  if (!fs.mounted()) GTEST_SKIP() << "no tmpfs can be mounted here";
  ASSERT_EQ(size_t{1} << 20, kUnit);  // the sizes below assume 4 KiB pages

  WriteRingConfig("1", 1, 1);
  for (const char* weight : {"-1", "65"}) {
    unlink(RingPath().c_str());
    SetEnv("QZ_LOG_RINGBUF_WEIGHT_QUILLON", weight);
    CDebug trace("Quillon", cfg_.c_str(), nullptr);
    SetEnv("QZ_LOG_RINGBUF_WEIGHT_QUILLON", nullptr);
    EXPECT_EQ(kUnit, ReadFile(RingPath()).size()) << weight;
  }

  // 32 MiB wanted, about 16 MiB to be had: whole units below that.
  unlink(RingPath().c_str());
  WriteRingConfig("1", 1, 32);
  {
    CDebug trace("Quillon", cfg_.c_str(), nullptr);
    const size_t size = ReadFile(RingPath()).size();
    EXPECT_EQ(0u, size % kUnit);
    EXPECT_GE(size, 8 * kUnit);
    EXPECT_LE(size, 16 * kUnit);
    EXPECT_EQ(1u, Count(ReadFile(LogPath()), " made " + std::to_string(size) + " bytes instead of " +
                                                 std::to_string(32 * kUnit)));
  }

  // Not one unit left: no ring, no file.
  unlink(RingPath().c_str());
  WriteRingConfig("1", 1, 1);
  int ballast = open((trace_ + "/ballast").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(ballast, 0);
  ASSERT_EQ(0, posix_fallocate(ballast, 0, 70 << 20));
  close(ballast);
  CDebug trace("Quillon", cfg_.c_str(), nullptr);
  EXPECT_EQ(0u, trace.GetTarget());
  EXPECT_FALSE(Exists(RingPath()));
  EXPECT_EQ(1u, Count(ReadFile(LogPath()), "### InitRingBuffer(): " + RingPath() + " not set up: "));
}

}  // namespace
}  // namespace quillon_test
