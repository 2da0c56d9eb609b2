// Argument file: basic parameters, the package listing and its limits, the
// command section walk, and texts that end without a zero byte.

#include "arg_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using quillon_test::QuillonTest;
using quillon_test::ReadFile;
using quillon_test::WriteFile;

const unsigned kCorrupted = EXECERROR_CorruptedParaFile;

class ArgFileTest : public QuillonTest {
 protected:
  void SetUp() override {
    QuillonTest::SetUp();
    UseFakeShell();
    OpenLog();
    src_ = dir_ / "src";
    mkdir(src_.c_str(), 0755);
  }
  unsigned Read(const std::string& text) {
    unsigned code = ReadBasicParamsA(text.c_str(), "/work/dir");
    if (code != 0) {
      EXPECT_TRUE(pFwPath == nullptr && uFileCnt == 0 && cFileList[0] == nullptr);
    }
    return code;
  }
  std::string FwPath() { return pFwPath ? pFwPath : "<null>"; }
  std::vector<std::string> Files() {
    std::vector<std::string> names;
    for (unsigned i = 0; i < uFileCnt; ++i) names.push_back(cFileList[i]);
    return names;
  }
  unsigned Walk(std::string* text) {
    return RunCommandSection(&(*text)[0], &(*text)[0] + text->size(), dir_.path());
  }
  std::string src_;
};

TEST_F(ArgFileTest, RuntimeSectionAndFwPath) {
  EXPECT_EQ(kCorrupted, Read("FWPATH=/x\r\n"));
  EXPECT_EQ(kCorrupted, Read("[Runtime]"));
  EXPECT_EQ(kCorrupted, Read("[Runtime]\r\n#c\r\n#FWPATH=/x"));  // no line after the comments
  EXPECT_EQ(static_cast<unsigned>(EXECERROR_MissingFwPath), Read("[Runtime]\r\n#FWPATH=/old\r\n"));
  EXPECT_EQ(kCorrupted, Read("[Runtime]\r\nFWPATH=\r\n"));
  EXPECT_EQ(kCorrupted, Read("[Runtime]\r\nFWPATH=\n"));
  EXPECT_EQ(kCorrupted, Read("[Runtime]\r\nFWPATH=/srv/fw"));  // no line end

  EXPECT_EQ(0u, Read("[Runtime]\r\n#FWPATH=/old\r\n# c\r\nFWPATH=/srv/fw/\r\n"));
  EXPECT_EQ("/srv/fw/", FwPath());
  EXPECT_EQ(0u, uFileCnt);  // a missing directory lists as empty
  ResetRunGlobals();
  // The key is searched from the first non-comment line on, anywhere.
  EXPECT_EQ(0u, Read("[Runtime]\r\nx=1\r\n#FWPATH=/srv/a\r\n[Commands]\r\nFWPATH=/b\r\n"));
  EXPECT_EQ("/srv/a", FwPath());
  ResetRunGlobals();
  EXPECT_EQ(0u, Read("[Runtime]\nFWPATH=/srv/fwX\n"));  // bare LF: last character lost
  EXPECT_EQ("/srv/fw", FwPath());
  ResetRunGlobals();
  autonomic = true;  // the value is ignored, the key must be there
  EXPECT_EQ(0u, Read("[Runtime]\r\nFWPATH=\r\n"));
  EXPECT_EQ("/work/dir", FwPath());
  ResetRunGlobals();
  autonomic = true;
  EXPECT_EQ(static_cast<unsigned>(EXECERROR_MissingFwPath), Read("[Runtime]\r\n"));
}

TEST_F(ArgFileTest, PackageListing) {
  for (const char* name : {"a", "c", "b", ".hidden"}) WriteFile(src_ + "/" + name, name);
  mkdir((src_ + "/sub").c_str(), 0755);
  ASSERT_EQ(0, symlink("a", (src_ + "/lnk").c_str()));
  ASSERT_EQ(0, symlink("nowhere", (src_ + "/dangling").c_str()));
  const std::vector<std::string> expected{"lnk", "c", "b", "a", ".hidden"};
  EXPECT_EQ(0u, Read("[Runtime]\r\nFWPATH=" + src_ + "\r\n"));
  EXPECT_EQ(expected, Files());
  ResetRunGlobals();
  EXPECT_EQ(0u, Read("[Runtime]\r\nFWPATH=" + src_ + "/\r\n"));
  EXPECT_EQ(expected, Files());
  EXPECT_EQ(src_ + "/", FwPath());
}

TEST_F(ArgFileTest, ListingLimits) {
  for (int i = 0; i < 50; ++i) WriteFile(src_ + "/f" + std::to_string(100 + i), "");
  const std::string text = "[Runtime]\r\nFWPATH=" + src_ + "\r\n";
  EXPECT_EQ(0u, Read(text));
  EXPECT_EQ(50u, uFileCnt);
  EXPECT_EQ("f149", Files().front());
  ResetRunGlobals();
  WriteFile(src_ + "/f999", "");
  EXPECT_EQ(kCorrupted, Read(text));
  autonomic = true;
  EXPECT_EQ(55u, ReadBasicParamsA(text.c_str(), src_.c_str()));

  // "<dir>/" plus a name may take 259 characters, not 260.
  ResetRunGlobals();
  std::string deep = dir_ / "deep";
  mkdir(deep.c_str(), 0755);
  std::string name(259 - deep.size() - 1, 'n');
  WriteFile(deep + "/" + name, "");
  EXPECT_EQ(0u, Read("[Runtime]\r\nFWPATH=" + deep + "\r\n"));
  EXPECT_EQ(std::vector<std::string>{name}, Files());
  ResetRunGlobals();
  WriteFile(deep + "/" + name + "n", "");
  EXPECT_EQ(kCorrupted, Read("[Runtime]\r\nFWPATH=" + deep + "\r\n"));
}

TEST_F(ArgFileTest, TextWithoutZeroEndsAtItsEnd) {
  // Exactly sized heap copies: a read past the end is caught by ASan.
  for (std::string text : {"[Runtime]\r\nFWPATH=/srv/fw", "[Runtime]\r\nFWPATH=", "[Runtime]"}) {
    std::unique_ptr<char[]> copy(new char[text.size()]);
    memcpy(copy.get(), text.data(), text.size());
    EXPECT_EQ(kCorrupted, ReadBasicParamsA(copy.get(), copy.get() + text.size(), "/w")) << text;
  }

  // A file of exactly one page: the mapping holds no zero after the text.
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  std::string head = "[Commands]\r\n0 000 echo a\r\n#";
  std::string tail = "\r\n0 000 echo tail";
  WriteFile("px.arg", head + std::string(page - head.size() - tail.size(), '#') + tail);
  ArgFileView view;
  size_t size = 0;
  ASSERT_EQ(0, OpenArgFile("px.arg", &view));
  ASSERT_EQ(0, StatArgFile(view, &size));
  ASSERT_EQ(page, size);
  ASSERT_EQ(0, MapArgFile(&view, size));
  EXPECT_EQ(view.text + page, view.textEnd);
  EXPECT_THROW(RunCommandSection(view.text, view.textEnd, dir_.path()), unsigned);
  EXPECT_EQ(std::vector<std::string>{"echo a"}, shell_.commands);
  ReleaseArgFile(&view, true);
  EXPECT_EQ(-1, view.fd);
  EXPECT_EQ("[Commands]\r\n1 000 echo a\r\n#", ReadFile("px.arg").substr(0, head.size()));
}

TEST_F(ArgFileTest, SectionWalk) {
  std::string text =
      quillon_test::ArgText({"[Commands]", "1 000 done", "# comment", "", " 0 blank first",
                             "0 000 echo a", "[Next]", "0 000 echo b"});
  pArgFileName = "pkg/px.arg";
  EXPECT_EQ(0u, Walk(&text));
  EXPECT_EQ(std::vector<std::string>{"echo a"}, shell_.commands);
  EXPECT_NE(std::string::npos, text.find("\r\n1 000 echo a\r\n"));
  EXPECT_NE(std::string::npos, TakeLog().find("\n<TS>\tFinished reading argument file \"" +
                                              dir_.path() + "/pkg/px.arg\""));

  std::string key_only = "x[Commands]";  // no line feed after the key
  EXPECT_EQ(0u, Walk(&key_only));
  EXPECT_EQ("", TakeLog());

  shell_.commands.clear();
  shell_.Queue(1 << 8);
  std::string stops = quillon_test::ArgText(
      {"[Commands]", "0 000 flag abort_ne 0", "0 000 false", "0 000 never", "[End]"});
  EXPECT_EQ(2u, Walk(&stops));
  EXPECT_EQ(quillon_test::ArgText(
                {"[Commands]", "1 000 flag abort_ne 0", "1 001 false", "0 000 never", "[End]"}),
            stops);

  shell_.commands.clear();
  std::string last = "[Commands]\r\n0 000 echo a\r\n0 000 echo b";
  EXPECT_THROW(Walk(&last), unsigned);
  EXPECT_EQ(std::vector<std::string>{"echo a"}, shell_.commands);
  EXPECT_NE(std::string::npos, TakeLog().find("\n<TS>\tERROR : corrupted arg file"));
}

}  // namespace
