// The run's status file writes and its final code.

#include "run_status.h"

#include "test_util.h"

namespace quillon_test {
namespace {

class RunStatusTest : public QuillonTest {};

TEST_F(RunStatusTest, StagesAndStickyReboot) {
  OpenLog();
  SetExecStatus(3, 0);
  EXPECT_EQ("Status=3\nRetval=0", ReadFile("HandlerStatus.txt"));
  SetExecStatus(5, static_cast<int>(0xFFFFFFFFu));  // signed decimal
  EXPECT_EQ("Status=5\nRetval=-1", ReadFile("HandlerStatus.txt"));
  SetExecStatus(4, 0);
  SetExecStatus(5, 0x22130003);  // once 4, always 4
  EXPECT_EQ("Status=4\nRetval=571670531", ReadFile("HandlerStatus.txt"));
  EXPECT_FALSE(Exists("HandlerStatus.txt.new"));
  EXPECT_TRUE(Contains(TakeLog(), "Exit Status: 4, Return Code: 571670531"));

  // A status file that cannot be written is reported; the run goes on.
  ASSERT_EQ(0, mkdir("sub", 0755));
  ASSERT_EQ(0, mkdir("sub/HandlerStatus.txt", 0755));
  ASSERT_EQ(0, chdir("sub"));
  SetExecStatus(5, 0);
  EXPECT_FALSE(Exists("HandlerStatus.txt.new"));
  EXPECT_NE(std::string::npos,
            TakeLog().find("\n<TS>\tError 21 open status file 'HandlerStatus.txt'"));
}

TEST_F(RunStatusTest, ComposeFinalCode) {
  // Outside autonomic mode only the delayed reboot counts.
  pkgMissing = true;
  cmdRet = 67;
  EXPECT_EQ(0u, ComposeFinalCode(0));
  EXPECT_EQ(2u, ComposeFinalCode(2));
  delayedReboot = true;
  EXPECT_EQ(0x100000u, ComposeFinalCode(0));
  EXPECT_EQ(0x22130003u, ComposeFinalCode(0x22030003));

  // Autonomic mode: the condition of highest rank, else cmdRet (the ranks
  // are a table of the code; three show it is followed).
  ResetRunGlobals();
  autonomic = true;
  cmdRet = 67;
  EXPECT_EQ(67u, ComposeFinalCode(0));
  for (const auto& [flag, code] : {std::make_pair(&delayedReboot, 1u), std::make_pair(&pkgMissing, 21u),
                                   std::make_pair(&notSupportedOS, 59u)}) {
    *flag = true;
    EXPECT_EQ(code, ComposeFinalCode(0));
  }
  EXPECT_EQ(2u, ComposeFinalCode(2));  // a non-zero result wins over every flag
}

}  // namespace
}  // namespace quillon_test
