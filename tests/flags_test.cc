// Return-code flags: parsing a flags line, judging a return code, the
// reboot request, and the conversion of omit-list codes.

#include "flags.h"

#include <errno.h>

#include <string>

#include "reboot.h"
#include "test_util.h"

namespace {

using quillon_test::ReadFile;

const char kRebootRequest[] = "/opt/QRTX/QRTXpxa/bin/help2  0 \"Reboot for a Firmware flash\"";

class FlagsTest : public quillon_test::QuillonTest {
 protected:
  void SetUp() override {
    QuillonTest::SetUp();
    UseFakeShell();
  }
  void Take(std::string text) { EXPECT_EQ(0u, DoItYourselfCmdA(&text[0])); }
  unsigned Slot(int flag) { return *static_cast<unsigned*>(piFlags[flag]); }
  int Judge(const std::string& text, unsigned rc) {
    Take(text);
    return checkFlags(rc);
  }
  int Pending() {
    int n = 0;
    for (void* slot : piFlags) n += slot != nullptr;
    return n;
  }
};

TEST_F(FlagsTest, FlagsLineReplacesPendingFlags) {
  cmdRet = 68;
  Take("abort_ne 0 Delayed omit_ret_codes 3010,3011; abort_eq=4 abort_gt  7 reboot_lt -1");
  EXPECT_EQ(0, cmdRet);
  EXPECT_EQ(5, Pending());
  EXPECT_EQ(nullptr, piFlags[abort_eq]);  // no blank after the name
  EXPECT_EQ(0u, Slot(abort_ne));
  EXPECT_EQ(1u, Slot(Delayed));
  EXPECT_EQ(7u, Slot(abort_gt));
  EXPECT_EQ(0xFFFFFFFFu, Slot(reboot_lt));
  EXPECT_STREQ("3010,3011", static_cast<char*>(piFlags[omit_ret_codes]));
  Take("abort_ne 4294967301 not_omit_flags");  // low 32 bits of the value
  EXPECT_EQ(2, Pending());
  EXPECT_EQ(5u, Slot(abort_ne));
  EXPECT_EQ(1u, Slot(not_omit_flags));
}

TEST_F(FlagsTest, JudgementOrder) {
  const struct {
    const char* flags;
    unsigned rc;
    int result;
  } cases[] = {
      {"abort_ne 0", 0, 0},
      {"abort_ne 0", 3, 2},
      {"abort_lt 5", 4, 2},
      {"abort_gt 5", 5, 0},
      {"abort_eq 570621955", 570621955, 2},
      {"abort_ne 0 omit_ret_codes 3010,3011;", 3011, 0},
      {"abort_ne 0 omit_ret_codes 3010,,\"3011\",", 3011, 0},
      {"abort_ne 0 omit_ret_codes 3010,3011;", 3012, 2},
      {"abort_ne 0 omit_ret_codes x5,5x", 5, 2},
      {"abort_ne 0 omit_update_eq 3", 3, 0},
      {"no_adequate_HW 16 abort_ne 0", 16, 16},
      {"incorrect_target_system 4", 4, 17},
      {"Delayed", 3, 0},
      {"", 3, 0},
  };
  for (const auto& c : cases) {
    ResetRunGlobals();
    EXPECT_EQ(c.result, Judge(c.flags, c.rc)) << c.flags << " / " << c.rc;
    EXPECT_EQ(0, Pending()) << c.flags;  // a judgement consumes every flag
  }
  EXPECT_TRUE(shell_.commands.empty());

  // Autonomic mode translates: abort 8, no hardware 16, wrong target 17.
  autonomic = true;
  EXPECT_EQ(8, Judge("abort_ne 0", 3));
  EXPECT_EQ(16, Judge("no_adequate_HW 16 abort_ne 0", 16));
  noAdequateHW = false;
  EXPECT_EQ(17, Judge("incorrect_target_system 4", 4));
}

TEST_F(FlagsTest, ConditionsOutliveTheirCommand) {
  EXPECT_EQ(0, Judge("Delayed", 7));
  EXPECT_TRUE(delayedReboot);
  EXPECT_EQ(0, Judge("not_supported_OS 59 abort_ne 0", 59));
  EXPECT_TRUE(notSupportedOS);
  EXPECT_EQ(0, Judge("abort_ne 0", 3));  // an earlier condition turns it into 0
  EXPECT_EQ(0, Judge("not_omit_flags", 1));
  EXPECT_TRUE(notOmitFlags);
  EXPECT_EQ(2, Judge("abort_ne 0", 3));

  ResetRunGlobals();
  EXPECT_EQ(0, Judge("extraction_fail 5 abort_ne 0", 5));
  EXPECT_EQ(67, cmdRet);
  EXPECT_EQ(2, Judge("abort_ne 0", 3));  // the flags line set cmdRet back to 0
  EXPECT_EQ(0, Judge("recoveryupdate_error_eq 9 sdcard_error_eq 9", 9));
  EXPECT_EQ(73, cmdRet);
}

TEST_F(FlagsTest, RebootAction) {
  EXPECT_EQ(0, Judge("reboot_gt 1", 1));
  EXPECT_TRUE(shell_.commands.empty());
  EXPECT_EQ(5, Judge("reboot_gt 1 abort_gt 1", 2));
  ASSERT_EQ(1u, shell_.commands.size());
  EXPECT_EQ(kRebootRequest, shell_.commands[0]);
  EXPECT_EQ("Status=4\nRetval=0", ReadFile("HandlerStatus.txt"));
  EXPECT_EQ(5, Judge("Reboot reboot_eq 2", 2));  // every firing flag asks again
  EXPECT_EQ(3u, shell_.commands.size());
  EXPECT_EQ(0, Judge("Reboot omit_ret_codes 2", 2));  // asked all the same
  EXPECT_EQ(4u, shell_.commands.size());
  agt_no_reboot = true;
  EXPECT_EQ(6, Judge("Reboot", 0));
  agt_no_reboot = false;
  autonomic = true;
  EXPECT_EQ(2, Judge("Reboot", 0));
  EXPECT_EQ(4u, shell_.commands.size());
}

TEST_F(FlagsTest, RebootRequestRetriesAndLogs) {
  OpenLog();
  const std::string status_line = "\n<TS>\tUpdate status file \"" + dir_.path() +
                                  "/HandlerStatus.txt\": Exit Status: 4, Return Code: 0";
  EXPECT_EQ(0u, DoAReboot());
  EXPECT_EQ(status_line, TakeLog());  // success without "-d": nothing else
  shell_.Queue(3 << 8);
  EXPECT_EQ(3u, DoAReboot());
  EXPECT_EQ(status_line + "\n<TS>\tReboot retuned 3, errno 0", TakeLog());

  shell_.commands.clear();
  debug = true;
  shell_.Queue(-1, EINTR);
  shell_.repeat_last = true;
  EXPECT_EQ(static_cast<unsigned>(EXECERROR_HandlerError), DoAReboot());
  EXPECT_EQ(19u, shell_.commands.size());
  EXPECT_EQ(status_line + "\n<TS>\tReboot calling " + kRebootRequest +
                "reboot called 19 times, errno 4\n\n<TS>\tReboot retuned 570621955, errno 4",
            TakeLog());
}

TEST(String2IntTest, Conversion) {
  auto convert = [](std::string text, int base = 10) { return string2intA(&text[0], base); };
  EXPECT_EQ(-1, convert(""));
  EXPECT_EQ(-1, convert(" \n "));
  EXPECT_EQ(-5, convert(" -5"));
  EXPECT_EQ(-1, convert("12x"));
  EXPECT_EQ(1, convert("-12x"));  // all ones, negated
  EXPECT_EQ(26, convert("1A", 16));
  EXPECT_EQ(1, convert("4294967297"));
  EXPECT_EQ(-1, convert(std::string(9000, '1')));  // longer than the working copy
  std::string trailing = "3010 \n";
  EXPECT_EQ(3010, string2intA(&trailing[0], 10));
  EXPECT_STREQ("3010", trailing.c_str());
  EXPECT_EXIT(convert("99999999999999999999999"), testing::ExitedWithCode(1), "strtoul");
}

}  // namespace
