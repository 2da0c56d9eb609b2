// What a run's results mean in words: the final code (verdict,
// delayed-reboot bit, autonomic condition) and the verdict a command line
// got (the status file's content is read by status_file.h). Pure functions
// over values; pxtool status and report share them.

#ifndef TOOLS_PXTOOL_RUN_OUTCOME_H_
#define TOOLS_PXTOOL_RUN_OUTCOME_H_

#include <string>

namespace pxtool {

// The bit a delayed reboot adds to the final code outside autonomic mode.
const unsigned int kDelayedRebootBit = 0x100000;

struct FinalCodeMeaning {
  // success, aborted, reboot_requested, reboot_suppressed,
  // no_adequate_hardware, incorrect_target, handler_error, out_of_memory,
  // condition, other
  const char* verdict = "other";
  std::string description;  // a sentence for people
  bool delayedReboot = false;  // the bit (autonomic: final code 1)
  const char* condition = nullptr;  // autonomic condition, or null
  bool Success() const { return std::string(verdict) == "success"; }
  bool EndedForReboot() const {
    return std::string(verdict) == "reboot_requested" ||
           std::string(verdict) == "reboot_suppressed";
  }
};
FinalCodeMeaning DescribeFinalCode(unsigned int code, bool autonomic);

// The verdict of one command line in a report: ok, go_on (a non-zero
// return code the flags let pass), skipped, flags, aborted, reboot,
// reboot_suppressed, no_adequate_hardware, incorrect_target, other (a
// result the run does not make), error (the run stopped on it without a
// judgement: signal, argument file changed, out of memory), killed (no
// result: the run was killed while it ran), running.
struct LoggedCommand;
const char* CommandVerdict(const LoggedCommand& command, bool autonomic,
                           bool runEnded, bool runRunning);

}  // namespace pxtool

#endif  // TOOLS_PXTOOL_RUN_OUTCOME_H_
