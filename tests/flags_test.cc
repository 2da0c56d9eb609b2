// Return-code flags: parsing a flags line, judging a return code, the
// reboot request, and the conversion of omit-list codes.

#include "flags.h"

#include "reboot.h"
#include "test_util.h"

namespace quillon_test {
namespace {

const char kRebootRequest[] = "/opt/QRTX/QRTXpxa/bin/help2  0 \"Reboot for a Firmware flash\"";

class FlagsTest : public QuillonTest {
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
    int autonomic_result;
  } cases[] = {
      {"abort_ne 0", 0, 0, 0}, {"abort_ne 0", 3, 2, 8}, {"abort_lt 5", 4, 2, 8},
      {"abort_gt 5", 5, 0, 0}, {"abort_eq 570621955", 570621955, 2, 8},
      {"abort_ne 0 omit_ret_codes 3010,,\"3011\",", 3011, 0, 0},
      {"abort_ne 0 omit_ret_codes 3010,3011;", 3012, 2, 8},
      {"abort_ne 0 omit_ret_codes x5,5x", 5, 2, 8}, {"abort_ne 0 omit_update_eq 3", 3, 0, 0},
      {"no_adequate_HW 16 abort_ne 0", 16, 16, 16}, {"incorrect_target_system 4", 4, 17, 17},
  };
  for (bool autonomic_mode : {false, true}) {
    for (const auto& c : cases) {
      ResetRunGlobals();
      autonomic = autonomic_mode;
      EXPECT_EQ(autonomic_mode ? c.autonomic_result : c.result, Judge(c.flags, c.rc))
          << c.flags << " / " << c.rc << (autonomic_mode ? " autonomic" : "");
      EXPECT_EQ(0, Pending()) << c.flags;  // a judgement consumes every flag
    }
  }
  EXPECT_TRUE(shell_.commands.empty());
}

// Conditions that turn a later abort into 0 in autonomic mode: see the
// end-to-end test.
TEST_F(FlagsTest, ConditionsOutliveTheirCommand) {
  EXPECT_EQ(0, Judge("not_supported_OS 59 abort_ne 0", 59));
  EXPECT_TRUE(notSupportedOS);
  EXPECT_EQ(0, Judge("abort_ne 0", 3));  // an earlier condition turns it into 0

  ResetRunGlobals();
  EXPECT_EQ(0, Judge("extraction_fail 5 abort_ne 0", 5));
  EXPECT_EQ(67, cmdRet);
  EXPECT_EQ(2, Judge("abort_ne 0", 3));  // the flags line set cmdRet back to 0
}

TEST_F(FlagsTest, RebootActionAndRequest) {
  OpenLog();
  EXPECT_EQ(0, Judge("reboot_gt 1", 1));
  EXPECT_TRUE(shell_.commands.empty());
  EXPECT_EQ(5, Judge("reboot_gt 1 abort_gt 1", 2));
  EXPECT_EQ(std::vector<std::string>{kRebootRequest}, shell_.commands);
  EXPECT_EQ("Status=4\nRetval=0", ReadFile("HandlerStatus.txt"));
  EXPECT_EQ(5, Judge("Reboot reboot_eq 2", 2));  // every firing flag asks again
  EXPECT_EQ(0, Judge("Reboot omit_ret_codes 2", 2));  // asked all the same
  EXPECT_EQ(4u, shell_.commands.size());
  autonomic = true;  // "-n" and local mode: see the end-to-end test
  EXPECT_EQ(2, Judge("Reboot", 0));
  EXPECT_EQ(4u, shell_.commands.size());

  // The request: a failure is logged; "-d" logs the call and retries while
  // the shell is interrupted.
  const std::string status_line = "\n<TS>\tUpdate status file \"" + dir_.path() +
                                  "/HandlerStatus.txt\": Exit Status: 4, Return Code: 0";
  TakeLog();
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
  const std::pair<std::string, int> cases[] = {
      {" \n ", -1}, {" -5", -5}, {"12x", -1}, {"-12x", 1},  // all ones, negated
      {"4294967297", 1}, {std::string(9000, '1'), -1}};  // longer than the working copy
  for (auto c : cases) EXPECT_EQ(c.second, string2intA(&c.first[0], 10)) << c.first;
  std::string text = "3010 \n";
  EXPECT_EQ(3010, string2intA(&text[0], 10));
  EXPECT_EQ("3010", std::string(text.c_str()));
  text = "99999999999999999999999";
  EXPECT_EXIT(string2intA(&text[0], 10), testing::ExitedWithCode(1), "strtoul");
}

}  // namespace
}  // namespace quillon_test
