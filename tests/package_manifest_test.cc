// The pristine digest of an argument file, the manifest's names, and the
// codec's view of the source bytes that the digest of a staged file uses.

#include "package_manifest.h"
#include "package_tree.h"

#include <map>

#include "arg_file_digest.h"
#include "px_tool.h"
#include "sha256.h"
#include "test_util.h"

namespace quillon_test {
namespace {

std::string Digest(const std::string& text, size_t piece = std::string::npos,
                   std::vector<size_t>* taken = nullptr) {
  PristineArgDigest digest;
  for (size_t at = 0; at < text.size(); at += piece) digest.Update(text.data() + at, std::min(piece, text.size() - at));
  if (taken != nullptr) *taken = digest.LinesMarkedTaken();
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
  std::vector<size_t> taken;
  EXPECT_EQ(digest, Digest(marked, 3, &taken));
  EXPECT_EQ(std::vector<size_t>{4}, taken);  // the lines the manifest's marks line names

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

// Every file of both trees, each once, named from the argument file's
// directory; what runs write beside it is no part of the package.
TEST(PackageManifestTest, NamesEveryFileOfBothTrees) {
  ScopedTempDir dir;
  for (const char* d : {"/pkg", "/pkg/fw", "/files", "/files/lib"}) mkdir((dir.path() + d).c_str(), 0755);
  for (const char* f : {"files/a.sh", "files/b.sh", "files/lib/c.sh", "pkg/px.arg", "pkg/d.sh",
                        "pkg/fw/e.sh", "pkg/a.sh", "pkg/Quillon.log", "pkg/SHA256SUMS"})
    WriteFile(dir / f, "x");
  PackageSource source;
  source.argFile = "pkg/px.arg";
  source.hasFwPath = true;
  source.fwPath = "./files//";
  source.names = {"b.sh", "a.sh"};
  source.base = dir.path();
  auto names = [&] {
    PackageLayout layout;
    std::string file, why, all;
    EXPECT_TRUE(DescribePackage(source, &layout, &file, &why)) << file << ": " << why;
    for (const PackageLayout::File& f : layout.files) all += f.name + (f.listed ? "* " : " ");
    return all;
  };
  EXPECT_EQ("../files/a.sh* ../files/b.sh* ../files/lib/c.sh d.sh fw/e.sh ", names());
  source.staging = false;  // local mode: nothing is staged over pkg/a.sh
  EXPECT_EQ("../files/a.sh* ../files/b.sh* ../files/lib/c.sh a.sh d.sh fw/e.sh ", names());
  source.fwPath = "pkg/fw";  // inside the argument file's directory
  source.names = {"e.sh"};
  EXPECT_EQ("a.sh d.sh fw/e.sh* ", names());
  source.fwPath = dir.path() + "/files";
  source.names = {};
  EXPECT_EQ(dir.path() + "/files/a.sh " + dir.path() + "/files/b.sh " + dir.path() +
                "/files/lib/c.sh a.sh d.sh fw/e.sh ",
            names());

  PackageLayout layout;
  std::string file, why;
  source.fwPath = "files";
  source.argFile = "pkg/../pkg/px.arg";
  EXPECT_FALSE(DescribePackage(source, &layout, &file, &why));
  EXPECT_EQ("pkg/../pkg/px.arg: argument file path with \"..\" (give it without)", file + ": " + why);
  source.argFile = "pkg/px.arg";
  WriteFile(dir / "files/lib/a\\b", "x");
  EXPECT_FALSE(DescribePackage(source, &layout, &file, &why));
  EXPECT_EQ(dir.path() + "/files/lib/a\\b: file name holds a backslash, CR or LF", file + ": " + why);
}

TEST(PackageManifestTest, MatchNamesTheFirstProblem) {
  PackageLayout layout;
  layout.argName = "px.arg";
  layout.files = {{"../files/a.sh", "files/a.sh"}};
  const std::string h(64, 'a');
  std::map<std::string, std::string> digests;
  std::vector<size_t> shipped;
  std::string name, why;
  ASSERT_TRUE(MatchManifest(h + "  ../files/a.sh\n" + h + "  px.arg\n", layout, &digests, &shipped, &name, &why));
  EXPECT_EQ(h, digests["px.arg"]);
  EXPECT_TRUE(shipped.empty());
  const std::string marks = FormatManifest(layout, h, {{"../files/a.sh", h}}, {4, 17});
  EXPECT_EQ("# marks shipped taken: 4 17\n", marks.substr(0, marks.find('\n') + 1));
  ASSERT_TRUE(MatchManifest(marks, layout, &digests, &shipped, &name, &why)) << why;
  EXPECT_EQ((std::vector<size_t>{4, 17}), shipped);
  const std::string notMarks = "line 1 is not one \"# marks shipped taken: LINE...\" with ascending line numbers";
  const std::vector<std::vector<std::string>> cases = {
      {h + "  px.arg", "SHA256SUMS", "line 1 is not \"HASH  NAME\" ended by LF"},
      {std::string(64, 'A') + "  px.arg\n", "SHA256SUMS", "line 1 is not \"HASH  NAME\""},
      {h + "  ../files/./a.sh\n", "../files/./a.sh", "odd name in SHA256SUMS"},
      {h + "  px.arg\n" + h + "  px.arg\n", "px.arg", "listed twice in SHA256SUMS"},
      {"# marks shipped taken: 17 4\n", "SHA256SUMS", notMarks},
      {"# marks shipped taken: 04\n", "SHA256SUMS", notMarks},
      {"# a comment\n", "SHA256SUMS", notMarks},
      {"# marks shipped taken: 4\n# marks shipped taken: 5\n", "SHA256SUMS",
       "line 2 is not one \"# marks shipped taken: LINE...\" with ascending line numbers"},
  };  // missing and surplus files: the signed-package end-to-end test
  for (const auto& c : cases) {
    EXPECT_FALSE(MatchManifest(c[0], layout, &digests, &shipped, &name, &why)) << c[0];
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
