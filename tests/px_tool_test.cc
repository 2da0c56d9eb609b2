#include "px_tool.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

typedef PXTool::PXCryptMethod M;
const std::string kKey1 = "#PELK_ROW#";
const std::string kKey2 = "\x06\x0B\x21\x0E\x51\x7E\x39\x5D\x11\x07";
const std::string kKey3 = "#MIRA_DOV#";

unsigned char Swap(unsigned char b) { return (b << 4) | (b >> 4); }
unsigned char Pairs(unsigned char b) {
  return (((b & 3) << 6) | ((b & 0xC) << 2) | ((b & 0x30) >> 2) | (b >> 6)) ^
         0xC3;
}
std::string Map(const std::string& s, unsigned char (*f)(unsigned char)) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(f(static_cast<unsigned char>(c)));
  return out;
}

class PXToolTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/px_tool_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
  }
  void TearDown() override {
    ASSERT_EQ(0, system(("rm -rf '" + dir_ + "'").c_str()));
  }
  std::string P(const std::string& name) { return dir_ + "/" + name; }
  void Write(const std::string& name, const std::string& data) {
    std::ofstream(P(name), std::ios::binary) << data;
  }
  std::string Read(const std::string& name) {
    std::ifstream f(P(name), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  bool Exists(const std::string& name) {
    return access(P(name).c_str(), F_OK) == 0;
  }
  int Entries() {  // files in the directory, to see temporaries left behind
    int n = 0;
    DIR* d = opendir(dir_.c_str());
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      n += name != "." && name != "..";
    }
    closedir(d);
    return n;
  }
  int File2File(const std::string& in, const std::string& out, int method) {
    return tool_.GetPXFile2File(P(in).c_str(), P(out).c_str(),
                                static_cast<M>(method));
  }
  std::string dir_;
  PXTool tool_;
};

TEST_F(PXToolTest, EveryByteRoundTripsThroughBothMethods) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  Write("plain", all);
  ASSERT_EQ(0, File2File("plain", "s1", 1));
  EXPECT_EQ(Map(all, Swap) + kKey1, Read("s1"));
  ASSERT_EQ(0, File2File("plain", "s2", 2));
  EXPECT_EQ(Map(all, Pairs) + kKey2, Read("s2"));
  EXPECT_EQ('\0', Read("s2")[0xC3]);
  EXPECT_EQ('\x3C', Read("s2")[0xFF]);
  for (const char* s : {"s1", "s2"}) {
    ASSERT_EQ(0, File2File(s, "back", 0));
    EXPECT_EQ(all, Read("back"));
  }
  EXPECT_EQ(4, Entries());  // plain, s1, s2, back: no temporaries
}

TEST_F(PXToolTest, SizesAroundTheBlockSize) {
  const size_t b = PXTool::kBlockSize;
  for (size_t size : {size_t{1}, size_t{9}, size_t{10}, size_t{11}, b - 1, b,
                      b + 1, 2 * b + 7}) {
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

TEST_F(PXToolTest, TheSourceDecidesNotTheRequest) {
  Write("s2", "\x8A\x4A\x0A" + kKey2);
  ASSERT_EQ(0, File2File("s2", "out", 1));  // asked to scramble, decodes
  EXPECT_EQ("abc", Read("out"));
  // A plain file that happens to end with a trailer is decoded.
  Write("odd", "xy" + kKey1);
  ASSERT_EQ(0, File2File("odd", "out", 0));
  EXPECT_EQ(Map("xy", Swap), Read("out"));
  // Anything after the trailer makes the file plain.
  Write("nl", "\x16\x26\x36" + kKey1 + "\n");
  ASSERT_EQ(0, File2File("nl", "out", 0));
  EXPECT_EQ("\x16\x26\x36" + kKey1 + "\n", Read("out"));
  // Shorter than a trailer: plain.
  Write("short", kKey1.substr(1));
  ASSERT_EQ(0, File2File("short", "out", 0));
  EXPECT_EQ(kKey1.substr(1), Read("out"));
  Write("empty", "");
  ASSERT_EQ(0, File2File("empty", "out", 0));
  EXPECT_EQ("", Read("out"));
  // Files that report no size still copy whole; devices are written in place.
  ASSERT_EQ(0, tool_.GetPXFile2File("/proc/self/status", P("out").c_str(),
                                    PXTool::PXDecrypt));
  EXPECT_NE(std::string::npos, Read("out").find("Pid:"));
  EXPECT_EQ(0, tool_.GetPXFile2File(P("nl").c_str(), "/dev/null",
                                    PXTool::PXDecrypt));
}

TEST_F(PXToolTest, RefusalsRemoveTheDestination) {
  Write("m3", "abc" + kKey3);
  Write("bare", kKey2);
  Write("empty", "");
  for (auto c : {std::make_pair("m3", 0), std::make_pair("bare", 0),
                 std::make_pair("empty", 1), std::make_pair("empty", 2)}) {
    Write("out", "stale content");
    EXPECT_EQ(10, File2File(c.first, "out", c.second)) << c.first;
    EXPECT_FALSE(Exists("out")) << c.first;
  }
  EXPECT_EQ(3, Entries());
}

TEST_F(PXToolTest, ArgumentAndSourceFailuresLeaveTheDestination) {
  Write("plain", "abc");
  Write("out", "old");
  EXPECT_EQ(10, File2File("plain", "out", 3));
  EXPECT_EQ(10, File2File("plain", "out", 7));
  EXPECT_EQ(10, File2File("plain", "out", -1));
  EXPECT_EQ(10, tool_.GetPXFile(P("plain").c_str(), P("out").c_str(),
                                PXTool::PXEncryptKey3));
  EXPECT_EQ(5, File2File("missing", "out", 0));
  EXPECT_EQ(5, File2File("missing", "new", 0));
  EXPECT_FALSE(Exists("new"));
  mkdir(P("sub").c_str(), 0700);
  EXPECT_EQ(5, File2File("sub", "out", 0));  // not a regular file
  EXPECT_EQ("old", Read("out"));
  EXPECT_EQ(15, tool_.GetPXFile2File(nullptr, "x", PXTool::PXDecrypt));
  EXPECT_EQ(16, tool_.GetPXFile2File("x", nullptr, PXTool::PXDecrypt));
  EXPECT_EQ(15, tool_.GetPXFile(nullptr, "x", PXTool::PXDecrypt));
  EXPECT_EQ(16, tool_.GetPXFile("x", nullptr, PXTool::PXDecrypt));
  // A destination that cannot be created.
  EXPECT_EQ(10, File2File("plain", "nodir/out", 0));
  EXPECT_EQ(10, File2File("plain", "plain/out", 1));
  EXPECT_EQ(10, tool_.GetPXFile2File(P("plain").c_str(), "/dev/full",
                                     PXTool::PXEncryptKey2));
  EXPECT_EQ(ENOSPC, errno);
}

TEST_F(PXToolTest, SameFileIsNeverWritten) {
  Write("plain", "abc");
  Write("s1", "\x16\x26\x36" + kKey1);
  ASSERT_EQ(0, link(P("plain").c_str(), P("hard").c_str()));
  ASSERT_EQ(0, symlink(P("s1").c_str(), P("soft").c_str()));
  struct stat before, after;
  stat(P("plain").c_str(), &before);
  EXPECT_EQ(0, File2File("plain", "plain", 0));
  EXPECT_EQ(0, File2File("plain", "hard", 0));
  EXPECT_EQ(10, File2File("plain", "hard", 1));
  EXPECT_EQ(10, File2File("s1", "s1", 0));
  EXPECT_EQ(10, File2File("soft", "s1", 2));
  stat(P("plain").c_str(), &after);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ("abc", Read("plain"));
  EXPECT_EQ("\x16\x26\x36" + kKey1, Read("s1"));
}

TEST_F(PXToolTest, DestinationModeAndLinksAreKept) {
  Write("s1", "\x16\x26\x36" + kKey1);
  Write("target", "old");
  chmod(P("target").c_str(), 0640);
  ASSERT_EQ(0, symlink("target", P("link").c_str()));
  ASSERT_EQ(0, File2File("s1", "link", 0));
  struct stat st;
  ASSERT_EQ(0, lstat(P("link").c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  stat(P("target").c_str(), &st);
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ("abc", Read("target"));
}

// A write limit makes the disk "fill up" part-way through a 3 MiB result.
TEST_F(PXToolTest, FailurePartWayLeavesNoPartialFile) {
  std::string data(3 * PXTool::kBlockSize, 'q');
  Write("plain", data);
  Write("s2", Map(data, Pairs) + kKey2);
  Write("fits", data.substr(0, PXTool::kBlockSize));  // only the trailer fails
  for (auto c : {std::make_pair("plain", 0), std::make_pair("s2", 0),
                 std::make_pair("plain", 1), std::make_pair("fits", 2)}) {
    Write("out", "stale");
    pid_t pid = fork();
    if (pid == 0) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {PXTool::kBlockSize, PXTool::kBlockSize};
      setrlimit(RLIMIT_FSIZE, &limit);
      PXTool tool;
      _exit(tool.GetPXFile2File(P(c.first).c_str(), P("out").c_str(),
                                static_cast<M>(c.second)));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(10, WEXITSTATUS(status)) << c.first << c.second;
    EXPECT_FALSE(Exists("out"));
    EXPECT_EQ(3, Entries());
  }
}

TEST_F(PXToolTest, Strings) {
  char out[64];
  EXPECT_EQ(0, tool_.GetPXString2String("abc", out, sizeof out, M(1)));
  EXPECT_EQ("\x16\x26\x36" + kKey1, std::string(out));
  EXPECT_EQ(0, tool_.GetPXString2String("abc", out, sizeof out, M(2)));
  EXPECT_EQ("\x8A\x4A\x0A" + kKey2, std::string(out));
  EXPECT_EQ(0, tool_.GetPXString(out, out, sizeof out, M(0)));  // in place
  EXPECT_EQ("abc", std::string(out));
  EXPECT_EQ(0, tool_.GetPXString("", out, sizeof out, M(1)));
  EXPECT_EQ(kKey1, std::string(out));
  EXPECT_EQ(11, tool_.GetPXString(kKey1.c_str(), out, sizeof out, M(0)));
  strcpy(out, "untouched");
  EXPECT_EQ(10, tool_.GetPXString("plain text here", out, sizeof out, M(0)));
  EXPECT_EQ(10, tool_.GetPXString(("abc" + kKey3).c_str(), out, sizeof out,
                                  M(0)));
  EXPECT_EQ(10, tool_.GetPXString("abc", out, sizeof out, M(3)));
  EXPECT_EQ(10, tool_.GetPXString("abc", out, 13, M(1)));  // needs 14
  EXPECT_EQ(10, tool_.GetPXString(("abc" + kKey1).c_str(), out, 3, M(0)));
  EXPECT_STREQ("untouched", out);
  EXPECT_EQ(17, tool_.GetPXString(nullptr, out, sizeof out, M(0)));
  EXPECT_EQ(18, tool_.GetPXString2String("a", nullptr, 1, M(0)));
  // C3 becomes a zero under method 2: the string ends there.
  EXPECT_EQ(0, tool_.GetPXString("x\xC3y", out, sizeof out, M(2)));
  EXPECT_EQ(11, tool_.GetPXString(out, out, sizeof out, M(0)));
}

TEST_F(PXToolTest, FileToStringAndLength) {
  char out[64];
  Write("s1", "\x16\x26\x36" + kKey1);
  EXPECT_EQ(0, tool_.GetPXFile2String(P("s1").c_str(), out, sizeof out, M(0)));
  EXPECT_STREQ("abc", out);
  Write("plain", "hello, world");
  EXPECT_EQ(10, tool_.GetPXFile2String(P("plain").c_str(), out, sizeof out,
                                       M(0)));
  EXPECT_STREQ("hello, world", out);
  EXPECT_EQ(0, tool_.GetPXFile2String(P("plain").c_str(), out, sizeof out,
                                      M(1)));
  EXPECT_EQ(Map("hello, world", Swap) + kKey1, std::string(out));
  Write("short", "hello");
  EXPECT_EQ(11, tool_.GetPXFile2String(P("short").c_str(), out, sizeof out,
                                       M(0)));
  // A buffer shorter than the file is never overrun.
  memset(out, '#', sizeof out);
  EXPECT_EQ(10, tool_.GetPXFile2String(P("plain").c_str(), out, 5, M(0)));
  EXPECT_STREQ("hell", out);
  EXPECT_EQ('#', out[5]);
  EXPECT_EQ(-2, tool_.GetPXFile2String(P("none").c_str(), out, 9, M(0)));
  EXPECT_EQ(15, tool_.GetPXFile2String(nullptr, out, 9, M(0)));
  EXPECT_EQ(18, tool_.GetPXFile2String("x", nullptr, 9, M(0)));
  EXPECT_EQ(10, tool_.GetPXFile2String(P("s1").c_str(), out, 9, M(3)));

  Write("k", std::string(1000, 'k'));
  int length = 7;
  EXPECT_EQ(0, PXTool::GetPXFileLengh(P("k").c_str(), length));
  EXPECT_EQ(1256, length);
  EXPECT_EQ(5, PXTool::GetPXFileLengh(P("none").c_str(), length));
  EXPECT_EQ(1256, length);

  M method;
  unsigned long long size = 0;
  EXPECT_EQ(0, PXTool::GetPXFileInfo(P("s1").c_str(), method, size));
  EXPECT_EQ(PXTool::PXEncryptKey1, method);
  EXPECT_EQ(3u, size);
  EXPECT_EQ(0, PXTool::GetPXFileInfo(P("k").c_str(), method, size));
  EXPECT_EQ(PXTool::PXDecrypt, method);
  EXPECT_EQ(1000u, size);
  EXPECT_EQ(5, PXTool::GetPXFileInfo(P("none").c_str(), method, size));
}

TEST_F(PXToolTest, NoDescriptorIsLeftOpen) {
  auto count = [] {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (readdir(d)) ++n;
    closedir(d);
    return n;
  };
  Write("plain", "abcdefghijklmnop");
  int before = count();
  char out[64];
  File2File("plain", "s", 2);
  File2File("s", "p", 0);
  File2File("plain", "nodir/x", 0);
  File2File("missing", "x", 0);
  tool_.GetPXFile2String(P("plain").c_str(), out, sizeof out, M(0));
  EXPECT_EQ(before, count());
}

}  // namespace
