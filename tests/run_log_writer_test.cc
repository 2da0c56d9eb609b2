// Run log writer: the line layout rules and the header lines of the value
// options (the rest of the header: see the end-to-end tests).

#include "run_log_writer.h"

#include <cstring>

#include "test_util.h"

namespace quillon_test {
namespace {

class RunLogWriterTest : public QuillonTest {};

TEST_F(RunLogWriterTest, LineLayoutAndHeaderValues) {
  OpenLog();
  EXPECT_TRUE(LogFileWriteLine(hLogFile, "abc"));
  EXPECT_TRUE(LogFileWriteLine(hLogFile, "\n\nabc"));
  EXPECT_TRUE(LogFileWriteLine(hLogFile, "\n"));
  EXPECT_FALSE(LogFileWriteLine(hLogFile, ""));
  WriteLogFile(hLogFile, "%s", "");  // formats to nothing: not written
  WriteLogFileA(hLogFile, "\n%s", std::string(300, 'l').c_str());
  EXPECT_EQ("abc\n\n<TS>\tabc\n<TS>\t\n<TS>\t" + std::string(300, 'l'), TakeLog());

  std::string a0 = "./Quillon";
  char* argv[] = {&a0[0]};
  externalOption = reset = externalParameter = true;  // the option's marker: empty
  strcpy(externalResetBuffer, "R");
  strcpy(externalParameterBuffer, "P");
  WriteLogHeader(hLogFile, 1, argv, "/w", time(nullptr));
  const std::string log = TakeLog();
  EXPECT_NE(std::string::npos, log.find("\n** working directory: \"/w\"\n** external option: ><"
                                        "\n** external reset: >R<\n** external parameter: >P<)\n"))
      << log;
}

}  // namespace
}  // namespace quillon_test
