// Inputs found by the fuzz targets (fuzz/), fed through the same calls as
// there. Each one failed before the fix named with it.

#include <cstring>
#include <memory>

#include "arg_file.h"
#include "test_util.h"

namespace quillon_test {
namespace {

using FuzzRegressionTest = QuillonTest;

// The argument file as the arg_file_fuzz target hands it over: a heap block
// of exactly its size, no zero after it.
unsigned ReadBasicParams(const std::string& text) {
  std::unique_ptr<char[]> block(new char[text.size()]);
  memcpy(block.get(), text.data(), text.size());
  return ReadBasicParamsA(block.get(), block.get() + text.size(), "/nonexistent-workdir");
}

// A zero byte right after "FWPATH=" made the path empty but its length not:
// the scan prefix was built from an empty string (reading the character
// before it) and the call succeeded with an empty package directory. The
// value now ends at the zero byte and is rejected as empty.
TEST_F(FuzzRegressionTest, FwPathStartingWithZeroByteIsEmpty) {
  const std::string text("[Runtime]\r\nFWPATH=\0/x\r\n", 23);
  EXPECT_EQ(static_cast<unsigned>(EXECERROR_CorruptedParaFile), ReadBasicParams(text));
  EXPECT_EQ(nullptr, pFwPath);
  EXPECT_EQ(0u, uFileCnt);

  // A zero byte inside the value cuts it there.
  EXPECT_EQ(0u, ReadBasicParams(std::string("[Runtime]\r\nFWPATH=/nx\0/y\r\n", 26)));
  ASSERT_NE(nullptr, pFwPath);
  EXPECT_STREQ("/nx", pFwPath);
}

}  // namespace
}  // namespace quillon_test
