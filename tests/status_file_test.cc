// The status file's content as pxtool reads it back.

#include "status_file.h"

#include <gtest/gtest.h>

namespace {

TEST(StatusFileTest, Parse) {
  StatusFileContent c;
  std::string error;
  EXPECT_TRUE(ParseStatusFile("Status=5\nRetval=-1", &c, &error));
  EXPECT_EQ(-1, c.retval);
  EXPECT_TRUE(ParseStatusFile("Status=4\r\nRetval=5\n", &c, &error));
  for (const char* bad : {"", "Status=5", "Status=5\nRetval=", "Retval=1\nStatus=5",
                          "Status=5\nRetval=99999999999", "Status=5\nRetval=1\nx"})
    EXPECT_FALSE(ParseStatusFile(bad, &c, &error)) << bad;
}

}  // namespace
