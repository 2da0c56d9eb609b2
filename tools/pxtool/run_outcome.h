// What a run's results mean in words: the final code (verdict,
// delayed-reboot bit, autonomic condition; the package model's words, which
// the run's history uses too) and the verdict a command line of the run log
// got (the status file's content is read by status_file.h). Pure functions
// over values; pxtool status and report share them.

#ifndef TOOLS_PXTOOL_RUN_OUTCOME_H_
#define TOOLS_PXTOOL_RUN_OUTCOME_H_

#include <string>

#include "outcome_words.h"

namespace pxtool {

// The final code in words: the package model's (outcome_words.h).
using ::FinalCodeMeaning;
using ::DescribeFinalCode;

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
