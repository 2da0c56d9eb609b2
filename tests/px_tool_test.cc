// The scrambled file and string codec.

#include "px_tool.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>

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

TEST_F(PXToolTest, EveryByteRoundTripsThroughBothMethods) {
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
}

TEST_F(PXToolTest, SizesAroundTheBlockSize) {
  const size_t b = PXTool::kBlockSize;
  for (size_t size : {size_t{1}, size_t{9}, size_t{10}, size_t{11}, b - 1, b, b + 1, 2 * b + 7}) {
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
    ASSERT_EQ(0, File2File("plain", "copy", 0));
    EXPECT_TRUE(Read("copy") == data);
  }
}

TEST_F(PXToolTest, TrailerDecidesNotTheRequest) {
  const struct {
    std::string source;
    int method;
    std::string result;
  } cases[] = {
      {"\x8A\x4A\x0A" + kKey2, 1, "abc"},  // asked to scramble: decodes
      {"xy" + kKey1, 0, Map("xy", Swap)},
      {kAbc1 + "\n", 0, kAbc1 + "\n"},  // anything after the trailer: plain
      {kKey1.substr(1), 0, kKey1.substr(1)},
      {"", 0, ""},
  };
  for (const auto& c : cases) {
    Write("in", c.source);
    ASSERT_EQ(0, File2File("in", "out", c.method)) << c.source;
    EXPECT_EQ(c.result, Read("out")) << c.source;
  }
  // Files that report no size still copy whole.
  ASSERT_EQ(0, tool_.GetPXFile2File("/proc/self/status", P("out").c_str(), PXTool::PXDecrypt));
  EXPECT_NE(std::string::npos, Read("out").find("Pid:"));
}

TEST_F(PXToolTest, ResultCodes) {
  Write("m3", "abc" + kKey3);
  Write("bare", kKey2);
  Write("empty", "");
  Write("plain", "abc");
  mkdir(P("sub").c_str(), 0700);
  const long fds = OpenDescriptors();
  for (auto c : {std::make_pair("m3", 0), std::make_pair("bare", 0), std::make_pair("empty", 2)}) {
    Write("out", "stale content");  // a refused source removes the destination
    EXPECT_EQ(10, File2File(c.first, "out", c.second)) << c.first;
    EXPECT_FALSE(Exists(P("out"))) << c.first;
  }
  // Bad methods and unreadable sources leave it.
  Write("out", "old");
  for (int method : {3, 7, -1}) EXPECT_EQ(10, File2File("plain", "out", method));
  EXPECT_EQ(10, tool_.GetPXFile(P("plain").c_str(), P("out").c_str(), PXTool::PXEncryptKey3));
  EXPECT_EQ(5, File2File("missing", "out", 0));
  EXPECT_EQ(5, File2File("sub", "out", 0));  // not a regular file
  EXPECT_EQ("old", Read("out"));
  EXPECT_EQ(15, tool_.GetPXFile2File(nullptr, "x", PXTool::PXDecrypt));
  EXPECT_EQ(16, tool_.GetPXFile2File("x", nullptr, PXTool::PXDecrypt));
  // A destination that cannot be created or written.
  EXPECT_EQ(10, File2File("plain", "nodir/out", 0));
  EXPECT_EQ(10, File2File("plain", "plain/out", 1));
  EXPECT_EQ(10, tool_.GetPXFile2File(P("plain").c_str(), "/dev/full", PXTool::PXEncryptKey2));
  EXPECT_EQ(EPERM, errno);  // not a regular file: never written
  EXPECT_EQ(6, Entries());
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
  struct stat st, before;
  stat(P("plain").c_str(), &before);
  EXPECT_EQ(0, File2File("plain", "plain", 0));
  EXPECT_EQ(0, File2File("plain", "hard", 0));
  EXPECT_EQ(10, File2File("plain", "hard", 1));
  EXPECT_EQ(10, File2File("s1", "s1", 0));
  EXPECT_EQ(10, File2File("soft", "s1", 2));
  stat(P("plain").c_str(), &st);
  EXPECT_EQ(before.st_ino, st.st_ino);
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
  for (auto c : {std::make_pair("plain", 0), std::make_pair("s2", 0), std::make_pair("plain", 1),
                 std::make_pair("fits", 2)}) {
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

TEST_F(PXToolTest, Strings) {
  // Source, method, room, result, output ("-": untouched).
  const std::tuple<std::string, int, size_t, int, std::string> cases[] = {
      {"abc", 1, 64, 0, kAbc1}, {kAbc1, 0, 64, 0, "abc"}, {"", 1, 64, 0, kKey1},
      {"abc", 2, 64, 0, "\x8A\x4A\x0A" + kKey2},
      {"x\xC3y", 2, 64, 0, Map("x", Pairs)},  // C3 becomes a zero: the string ends there
      {"plain text here", 0, 64, 10, "-"}, {"abc" + kKey3, 0, 64, 10, "-"},
      {"abc", 3, 64, 10, "-"}, {"abc", 1, 13, 10, "-"}, {kAbc1, 0, 3, 10, "-"}};
  char out[64];
  for (const auto& [in, method, room, result, text] : cases) {
    strcpy(out, "-");
    EXPECT_EQ(result, tool_.GetPXString(in.c_str(), out, room, M(method))) << in;
    EXPECT_EQ(text, std::string(out)) << in;
  }
  EXPECT_EQ(0, tool_.GetPXString2String("abc", out, sizeof out, M(1)));
  EXPECT_EQ(0, tool_.GetPXString(out, out, sizeof out, M(0)));  // in place
  EXPECT_STREQ("abc", out);
  EXPECT_EQ(11, tool_.GetPXString(kKey1.c_str(), out, sizeof out, M(0)));
  EXPECT_EQ(17, tool_.GetPXString(nullptr, out, sizeof out, M(0)));
  EXPECT_EQ(18, tool_.GetPXString2String("a", nullptr, 1, M(0)));
}

TEST_F(PXToolTest, FileToStringAndLength) {
  char out[64];
  Write("s1", kAbc1);
  Write("plain", "hello, world");
  EXPECT_EQ(0, tool_.GetPXFile2String(P("s1").c_str(), out, sizeof out, M(0)));
  EXPECT_STREQ("abc", out);
  EXPECT_EQ(10, tool_.GetPXFile2String(P("plain").c_str(), out, sizeof out, M(0)));
  EXPECT_STREQ("hello, world", out);
  memset(out, '#', sizeof out);  // a buffer shorter than the file is never overrun
  EXPECT_EQ(10, tool_.GetPXFile2String(P("plain").c_str(), out, 5, M(0)));
  EXPECT_STREQ("hell", out);
  EXPECT_EQ('#', out[5]);
  Write("short", "hello");
  EXPECT_EQ(11, tool_.GetPXFile2String(P("short").c_str(), out, sizeof out, M(0)));
  EXPECT_EQ(-2, tool_.GetPXFile2String(P("none").c_str(), out, 9, M(0)));

  Write("k", std::string(1000, 'k'));
  int length = 7;
  EXPECT_EQ(0, PXTool::GetPXFileLengh(P("k").c_str(), length));
  EXPECT_EQ(1256, length);
  // GetPXFileInfo: see `pxtool info`.
}

}  // namespace
}  // namespace quillon_test
