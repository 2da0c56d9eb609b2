// The pristine digest of an argument file, the manifest's names, and the
// codec's view of the source bytes that the digest of a staged file uses.

#include "package_manifest.h"

#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "arg_file_digest.h"
#include "px_tool.h"
#include "sha256.h"
#include "test_util.h"

namespace quillon_test {
namespace {

std::string Digest(const std::string& text, size_t piece = std::string::npos) {
  PristineArgDigest digest;
  for (size_t at = 0; at < text.size(); at += piece) digest.Update(text.data() + at, std::min(piece, text.size() - at));
  return digest.FinalHex();
}

std::string Sha(const std::string& bytes) {
  Sha256 sha;
  sha.Update(bytes.data(), bytes.size());
  return sha.FinalHex();
}

TEST(PristineArgDigestTest, MarksDoNotCountEverythingElseDoes) {
  const std::string pristine =
      ArgText({"[Runtime]", "FWPATH=files", "[Commands]", "0 000 sh a.sh", "0 000 flag x", "0 00"});
  const std::string digest = Digest(pristine);
  EXPECT_EQ(Sha(pristine), digest);  // nothing to normalise yet
  std::string marked = pristine;  // pieces and normalised marks: the fuzz target
  marked.replace(marked.find("0 000 sh"), 5, "1 255");
  EXPECT_EQ(digest, Digest(marked, 3));

  // A line too short to be marked, a line starting otherwise, a command or
  // a separator column: all count.
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"0 00\r\n", "1 00\r\n"}, {"[Commands]", "[Commandz]"}, {"sh a.sh", "sh b.sh"},
           {"0 000 sh", "0 000-sh"}, {"0 000 sh", "0-000 sh"}}) {
    std::string changed = pristine;
    changed.replace(changed.find(from), from.size(), to);
    EXPECT_NE(digest, Digest(changed)) << from;
  }
  EXPECT_NE(Digest("0 000\n"), Digest("1 000\n"));
}

TEST(PackageManifestTest, NamesRelativeToTheArgumentFile) {
  ScopedTempDir dir;
  for (const char* d : {"/pkg", "/files"}) mkdir((dir.path() + d).c_str(), 0755);
  char a[] = "b.sh", b[] = "a.sh";
  char* names[] = {a, b};
  PackageLayout layout;
  std::string why;
  ASSERT_TRUE(DescribePackage("pkg/px.arg", "./files//", names, 2, &layout, &why)) << why;
  EXPECT_EQ("pkg", layout.directory);
  ASSERT_EQ(2u, layout.files.size());
  EXPECT_EQ("../files/a.sh", layout.files[0].name);
  EXPECT_EQ("./files///a.sh", layout.files[0].path);  // as the run opens it
  EXPECT_EQ(std::string("0000000000000000000000000000000000000000000000000000000000000001  "
                        "../files/a.sh\n") + std::string(64, 'f') + "  px.arg\n",
            FormatManifest(layout, std::string(64, 'f'),
                           {{"../files/a.sh", std::string(63, '0') + "1"}}));

  ASSERT_TRUE(DescribePackage("px.arg", "/abs/fw", names, 1, &layout, &why));
  EXPECT_EQ("/abs/fw/b.sh", layout.files[0].name);
  EXPECT_FALSE(DescribePackage("x/../px.arg", "files", names, 1, &layout, &why));
  char bad[] = "a\\b";
  char* badNames[] = {bad};
  EXPECT_FALSE(DescribePackage("px.arg", "files", badNames, 1, &layout, &why));
  EXPECT_NE(std::string::npos, why.find("files/a\\b")) << why;
  // The package directory as the argument file's: the local-mode end-to-end test.
}

TEST(PackageManifestTest, MatchNamesTheFirstProblem) {
  PackageLayout layout;
  layout.argName = "px.arg";
  layout.files = {{"../files/a.sh", "files/a.sh"}};
  const std::string h(64, 'a');
  std::map<std::string, std::string> digests;
  std::string name, why;
  ASSERT_TRUE(MatchManifest(h + "  ../files/a.sh\n" + h + "  px.arg\n", layout, &digests, &name, &why));
  EXPECT_EQ(h, digests["px.arg"]);
  const std::vector<std::vector<std::string>> cases = {
      {h + "  px.arg", "SHA256SUMS", "line 1 is not \"HASH  NAME\" ended by LF"},
      {std::string(64, 'A') + "  px.arg\n", "SHA256SUMS", "line 1 is not \"HASH  NAME\""},
      {h + "  ../files/./a.sh\n", "../files/./a.sh", "odd name in SHA256SUMS"},
      {h + "  px.arg\n" + h + "  px.arg\n", "px.arg", "listed twice in SHA256SUMS"},
  };  // missing and surplus files: the signed-package end-to-end test
  for (const auto& c : cases) {
    EXPECT_FALSE(MatchManifest(c[0], layout, &digests, &name, &why)) << c[0];
    EXPECT_EQ(c[1] + ": " + c[2], name + ": " + why);
  }
}

// The observer sees the source as stored, trailer included, whatever path
// the codec takes; the copy is what it would be without one.
TEST(PXSourceObserverTest, SeesEveryStoredByte) {
  class Collect : public PXSourceObserver {
   public:
    void Bytes(const unsigned char* data, size_t size) override {
      seen.append(reinterpret_cast<const char*>(data), size);
    }
    std::string seen;
  };
  ScopedTempDir dir;
  std::string big(PXTool::kBlockSize + 5, 'x');
  for (const std::string& content : {std::string("plain"), big, std::string("\x16#PELK_ROW#"),
                                     big + "#PELK_ROW#"}) {
    WriteFile(dir / "src", content);
    Collect observer;
    PXTool::PXFileOptions options;
    options.observer = &observer;
    ASSERT_EQ(0, PXTool::GetPXFile2FileWith((dir / "src").c_str(), (dir / "dst").c_str(),
                                            PXTool::PXDecrypt, options));
    EXPECT_TRUE(observer.seen == content);
    PXTool tool;
    ASSERT_EQ(0, tool.GetPXFile2File((dir / "src").c_str(), (dir / "ref").c_str(), PXTool::PXDecrypt));
    EXPECT_TRUE(ReadFile(dir / "dst") == ReadFile(dir / "ref"));
  }
}

}  // namespace
}  // namespace quillon_test
