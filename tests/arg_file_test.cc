// Argument file: basic parameters, the package listing and its limits, the
// command section walk, and texts that end without a zero byte.

#include "arg_file.h"
#include "command_runner.h"

#include <cstring>
#include <memory>

#include "test_util.h"

namespace quillon_test {
namespace {

const unsigned kCorrupted = EXECERROR_CorruptedParaFile;
const unsigned kMissing = EXECERROR_MissingFwPath;

class ArgFileTest : public QuillonTest {
 protected:
  void SetUp() override {
    QuillonTest::SetUp();
    UseFakeShell();
    OpenLog();
    mkdir(src_.c_str(), 0755);
  }
  // Reads `text` with fresh globals; on failure nothing is left behind.
  unsigned Read(const std::string& text, bool autonomic_mode = false) {
    ResetRunGlobals();
    autonomic = autonomic_mode;
    unsigned code = ReadBasicParamsA(text.c_str(), "/work/dir");
    EXPECT_TRUE(code == 0 || (pFwPath == nullptr && uFileCnt == 0 && cFileList[0] == nullptr));
    return code;
  }
  std::string FwPath() { return pFwPath ? pFwPath : "<null>"; }
  std::vector<std::string> Files() { return {cFileList, cFileList + uFileCnt}; }
  unsigned Walk(std::string* text) {
    return RunCommandSection(&(*text)[0], &(*text)[0] + text->size(),
                             SectionContext{nullptr, nullptr, dir_.path()});
  }
  const std::string src_ = dir_ / "src";
};

TEST_F(ArgFileTest, RuntimeSectionAndFwPath) {
  const struct {
    const char* text;
    bool autonomic;
    unsigned code;
    const char* path;
  } cases[] = {
      {"FWPATH=/x\r\n", false, kCorrupted, ""},
      {"[Runtime]\r\n#c\r\n#FWPATH=/x", false, kCorrupted, ""},  // no line after the comments
      {"[Runtime]\r\n#FWPATH=/old\r\n", false, kMissing, ""},
      {"[Runtime]\r\nFWPATH=\r\n", false, kCorrupted, ""},
      {"[Runtime]\r\nFWPATH=/srv/fw", false, kCorrupted, ""},  // no line end
      {"[Runtime]\r\n#FWPATH=/old\r\n# c\r\nFWPATH=/srv/fw/\r\n", false, 0, "/srv/fw/"},
      // The key is searched from the first non-comment line on, anywhere.
      {"[Runtime]\r\nx=1\r\n#FWPATH=/srv/a\r\n[Commands]\r\nFWPATH=/b\r\n", false, 0, "/srv/a"},
      {"[Runtime]\nFWPATH=/srv/fwX\n", false, 0, "/srv/fw"},  // bare LF: last character lost
      {"[Runtime]\r\nFWPATH=\r\n", true, 0, "/work/dir"},  // autonomic: the key must be there
      {"[Runtime]\r\n", true, kMissing, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.code, Read(c.text, c.autonomic)) << c.text;
    // A missing directory lists as empty.
    EXPECT_TRUE(c.code != 0 || (c.path == FwPath() && uFileCnt == 0)) << c.text << FwPath();
  }
}

TEST_F(ArgFileTest, PackageListingAndLimits) {
  for (const char* name : {"a", "c", "b", ".hidden"}) WriteFile(src_ + "/" + name, name);
  mkdir((src_ + "/sub").c_str(), 0755);
  ASSERT_EQ(0, symlink("a", (src_ + "/lnk").c_str()));
  ASSERT_EQ(0, symlink("nowhere", (src_ + "/dangling").c_str()));
  const std::vector<std::string> expected{"lnk", "c", "b", "a", ".hidden"};
  EXPECT_EQ(0u, Read("[Runtime]\r\nFWPATH=" + src_ + "/\r\n"));
  EXPECT_EQ(expected, Files());

  for (int i = 0; i < 45; ++i) WriteFile(src_ + "/f" + std::to_string(100 + i), "");
  const std::string text = "[Runtime]\r\nFWPATH=" + src_ + "\r\n";
  EXPECT_EQ(0u, Read(text));
  EXPECT_EQ(50u, uFileCnt);
  WriteFile(src_ + "/f999", "");
  EXPECT_EQ(kCorrupted, Read(text));
  autonomic = true;  // the working directory is listed
  EXPECT_EQ(55u, ReadBasicParamsA(text.c_str(), src_.c_str()));

  // "<dir>/" plus a name may take 259 characters, not 260.
  std::string deep = dir_ / "deep", name(259 - deep.size() - 1, 'n');
  mkdir(deep.c_str(), 0755);
  WriteFile(deep + "/" + name, "");
  EXPECT_EQ(0u, Read("[Runtime]\r\nFWPATH=" + deep + "\r\n"));
  EXPECT_EQ(std::vector<std::string>{name}, Files());
  WriteFile(deep + "/" + name + "n", "");
  EXPECT_EQ(kCorrupted, Read("[Runtime]\r\nFWPATH=" + deep + "\r\n"));
}

// Texts in exactly sized blocks: the fuzz target.
TEST_F(ArgFileTest, TextWithoutZeroEndsAtItsEnd) {
  // A file of exactly one page: the mapping holds no zero after the text.
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  std::string head = "[Commands]\r\n0 000 echo a\r\n#", tail = "\r\n0 000 echo tail";
  WriteFile("px.arg", head + std::string(page - head.size() - tail.size(), '#') + tail);
  ArgFileView view;
  size_t size = 0;
  std::string why;
  ASSERT_EQ(0, OpenArgFile("px.arg", &view, &why));
  ASSERT_EQ(0, StatArgFile(view, &size));
  ASSERT_EQ(0, MapArgFile(&view, size));
  EXPECT_EQ(view.text + page, view.textEnd);
  EXPECT_THROW(RunCommandSection(view.text, view.textEnd,
                                 SectionContext{&view, nullptr, dir_.path()}),
               unsigned);
  EXPECT_EQ(std::vector<std::string>{"echo a"}, shell_.commands);
  ReleaseArgFile(&view, true);
  EXPECT_EQ(-1, view.fd);
  EXPECT_EQ("[Commands]\r\n1 000 echo a\r\n#", ReadFile("px.arg").substr(0, head.size()));
}

TEST_F(ArgFileTest, SectionWalk) {
  std::string text = ArgText({"[Commands]", "1 000 done", "# comment", "", " 0 blank first",
                              "0 000 echo a", "[Next]", "0 000 echo b"});
  EXPECT_EQ(0u, Walk(&text));
  EXPECT_EQ(std::vector<std::string>{"echo a"}, shell_.commands);
  EXPECT_TRUE(Contains(text, "\r\n1 000 echo a\r\n"));
  TakeLog();
  std::string key_only = "x[Commands]";  // no line feed after the key
  EXPECT_EQ(0u, Walk(&key_only));
  EXPECT_EQ("", TakeLog());
  // An abort ending the walk and a text ending inside the section: see the
  // end-to-end tests.
}

}  // namespace
}  // namespace quillon_test
