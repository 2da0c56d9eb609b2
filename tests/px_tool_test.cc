// The scrambled file and string codec.

#include "px_tool.h"

#include <csignal>

#include "test_util.h"

namespace quillon_test {
namespace {

typedef PXTool::PXCryptMethod M;
const std::string kKey1 = "#PELK_ROW#";
const std::string kKey2 = "\x06\x0B\x21\x0E\x51\x7E\x39\x5D\x11\x07";
const std::string kKey3 = "#MIRA_DOV#";
const std::string kAbc1 = "\x16\x26\x36" + kKey1;  // "abc" under method 1

unsigned char Swap(unsigned char b) { return (b << 4) | (b >> 4); }
unsigned char Pairs(unsigned char b) {
  return (((b & 3) << 6) | ((b & 0xC) << 2) | ((b & 0x30) >> 2) | (b >> 6)) ^ 0xC3;
}
std::string Map(const std::string& s, unsigned char (*f)(unsigned char)) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(f(static_cast<unsigned char>(c)));
  return out;
}

class PXToolTest : public testing::Test {
 protected:
  std::string P(const std::string& name) { return dir_ / name; }
  void Write(const std::string& name, const std::string& data) { WriteFile(P(name), data); }
  std::string Read(const std::string& name) { return ReadFile(P(name)); }
  // Entries of a directory: temporaries left behind, descriptors left open.
  static long Entries(const std::string& dir) {
    auto it = std::filesystem::directory_iterator(dir);
    return std::distance(it, std::filesystem::directory_iterator());
  }
  long Entries() { return Entries(dir_.path()); }
  long OpenDescriptors() { return Entries("/proc/self/fd"); }
  int File2File(const std::string& in, const std::string& out, int method) {
    return tool_.GetPXFile2File(P(in).c_str(), P(out).c_str(), static_cast<M>(method));
  }
  ScopedTempDir dir_;
  PXTool tool_;
};

TEST_F(PXToolTest, EveryByteAndSizeRoundTripsThroughBothMethods) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  Write("plain", all);
  const long fds = OpenDescriptors();
  ASSERT_EQ(0, File2File("plain", "s1", 1));
  EXPECT_EQ(Map(all, Swap) + kKey1, Read("s1"));
  ASSERT_EQ(0, File2File("plain", "s2", 2));
  EXPECT_EQ(Map(all, Pairs) + kKey2, Read("s2"));
  for (const char* s : {"s1", "s2"}) {
    ASSERT_EQ(0, File2File(s, "back", 0));
    EXPECT_EQ(all, Read("back"));
  }
  EXPECT_EQ(4, Entries());  // plain, s1, s2, back: no temporaries
  EXPECT_EQ(fds, OpenDescriptors());

  // Sizes around the block size (small ones: the fuzz target).
  const size_t b = PXTool::kBlockSize;
  for (size_t size : {b - 1, b, b + 1, 2 * b + 7}) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 131 + 7);
    Write("plain", data);
    for (int method : {1, 2}) {
      SCOPED_TRACE(std::to_string(size) + " method " + std::to_string(method));
      ASSERT_EQ(0, File2File("plain", "s", method));
      ASSERT_EQ(size + 10, Read("s").size());
      ASSERT_EQ(0, File2File("s", "back", 0));
      EXPECT_TRUE(Read("back") == data);
    }
  }
}

// Refusals (methods, trailers and sources in general: the fuzz target).
TEST_F(PXToolTest, ResultCodes) {
  Write("m3", "abc" + kKey3);
  Write("plain", "abc");
  mkdir(P("sub").c_str(), 0700);
  const long fds = OpenDescriptors();
  Write("out", "stale content");  // a refused source removes the destination
  EXPECT_EQ(10, File2File("m3", "out", 0));
  EXPECT_FALSE(Exists(P("out")));
  EXPECT_EQ(5, File2File("sub", "out", 0));  // not a regular file
  EXPECT_EQ(10, File2File("plain", "nodir/out", 0));
  EXPECT_EQ(10, tool_.GetPXFile2File(P("plain").c_str(), "/dev/full", PXTool::PXEncryptKey2));
  EXPECT_EQ(EPERM, errno);  // not a regular file: never written
  EXPECT_EQ(3, Entries());
  EXPECT_EQ(fds, OpenDescriptors());
}

TEST_F(PXToolTest, SameFileIsNeverWrittenAndLinksAreKept) {
  Write("plain", "abc");
  Write("s1", kAbc1);
  Write("target", "old");
  chmod(P("target").c_str(), 0640);
  ASSERT_EQ(0, symlink("target", P("link").c_str()));
  ASSERT_EQ(0, link(P("plain").c_str(), P("hard").c_str()));
  ASSERT_EQ(0, symlink(P("s1").c_str(), P("soft").c_str()));
  struct stat st;  // a source as its own destination: the fuzz target; here through links
  EXPECT_EQ(10, File2File("plain", "hard", 1));
  EXPECT_EQ(10, File2File("soft", "s1", 2));
  EXPECT_EQ("abc", Read("plain"));
  EXPECT_EQ(kAbc1, Read("s1"));
  // A destination that is a link, or a file of another user's, is refused
  // and left as it is.
  EXPECT_EQ(10, File2File("s1", "link", 0));
  ASSERT_EQ(0, lstat(P("link").c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ("old", Read("target"));
  ASSERT_EQ(0, chown(P("target").c_str(), 65534, 65534));
  EXPECT_EQ(10, File2File("s1", "target", 0));
  EXPECT_EQ("old", Read("target"));
  // A new destination gets 0666 less the umask, or exactly the mode asked for.
  mode_t mask = umask(0);
  EXPECT_EQ(0, File2File("s1", "new", 0));
  PXTool::PXFileOptions options;
  options.mode = 0600;
  EXPECT_EQ(0, PXTool::GetPXFile2FileWith(P("s1").c_str(), P("private").c_str(),
                                          PXTool::PXDecrypt, options));
  umask(mask);
  stat(P("new").c_str(), &st);
  EXPECT_EQ(0666u, st.st_mode & 07777);
  stat(P("private").c_str(), &st);
  EXPECT_EQ(0600u, st.st_mode & 07777);
  EXPECT_EQ("abc", Read("private"));
}

// A write limit makes the disk "fill up" part-way through a 3 MiB result.
TEST_F(PXToolTest, FailurePartWayLeavesNoPartialFile) {
  std::string data(3 * PXTool::kBlockSize, 'q');
  Write("plain", data);
  Write("s2", Map(data, Pairs) + kKey2);
  Write("fits", data.substr(0, PXTool::kBlockSize));  // only the trailer fails
  for (auto c : {std::make_pair("plain", 0), std::make_pair("s2", 0), std::make_pair("fits", 2)}) {
    Write("out", "stale");
    pid_t pid = fork();
    if (pid == 0) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {PXTool::kBlockSize, PXTool::kBlockSize};
      setrlimit(RLIMIT_FSIZE, &limit);
      _exit(PXTool().GetPXFile2File(P(c.first).c_str(), P("out").c_str(), M(c.second)));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(10, WEXITSTATUS(status)) << c.first << c.second;
    EXPECT_EQ(3, Entries());
  }
}

}  // namespace
}  // namespace quillon_test
