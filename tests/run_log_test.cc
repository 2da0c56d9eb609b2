// Run log: line layout, the formatting writers and the header block.

#include "run_log.h"

#include <cstring>
#include <ctime>
#include <regex>
#include <string>

#include "test_util.h"

namespace quillon_test {
namespace {

class RunLogTest : public QuillonTest {};

TEST_F(RunLogTest, LineLayout) {
  OpenLog();
  EXPECT_TRUE(LogFileWriteLine(hLogFile, "abc"));
  EXPECT_TRUE(LogFileWriteLine(hLogFile, "\n\nabc"));
  EXPECT_TRUE(LogFileWriteLine(hLogFile, "\n"));
  EXPECT_TRUE(LogFileWriteLine(hLogFile, " tail"));
  EXPECT_FALSE(LogFileWriteLine(hLogFile, ""));
  EXPECT_FALSE(LogFileWriteLine(hLogFile, nullptr));
  EXPECT_FALSE(LogFileWriteLine(nullptr, "\nx"));
  WriteLogFile(hLogFile, "%s", "");  // formats to nothing: not written
  WriteLogFileA(nullptr, "\nnothing %d", 1);
  WriteLogFile(hLogFile, "\nvalue %d <%s>", 42, "x");
  WriteLogFileA(hLogFile, "\n%s", std::string(300, 'l').c_str());
  EXPECT_EQ("abc\n\n<TS>\tabc\n<TS>\t tail\n<TS>\tvalue 42 <x>\n<TS>\t" + std::string(300, 'l'),
            TakeLog());
  EXPECT_TRUE(
      std::regex_match(LogTimeStamp(time(nullptr)),
                       std::regex("[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}")));
}

TEST_F(RunLogTest, HeaderBlock) {
  OpenLog();
  std::string a0 = "./Quillon", a1 = "/w", a2 = "-reset";
  char* argv[] = {&a0[0], &a1[0], &a2[0]};
  externalOption = reset = externalParameter = true;  // the option's marker: empty
  strcpy(externalResetBuffer, "R");
  strcpy(externalParameterBuffer, "P");
  WriteLogHeader(hLogFile, 3, argv, "/w");
  WriteLogHeader(nullptr, 3, argv, "/w");
  const std::string stars(78, '*');
  EXPECT_EQ(
      "\n\n*********+*********+*********+*********+*********+**********+**********+******"
      "\n**       Quillon V3.03.05 Log <TS>\n" +
          stars +
          "\n** Arg [0]: ./Quillon\n** Arg [1]: /w\n** Arg [2]: -reset"
          "\n** working directory: \"/w\"\n** external option: ><"
          "\n** external reset: >R<\n** external parameter: >P<)\n" +
          stars,
      TakeLog());
}

}  // namespace
}  // namespace quillon_test
