#include "run_outcome.h"

#include "run_log_reader.h"

namespace pxtool {

const char* CommandVerdict(const LoggedCommand& command, bool autonomic,
                           bool runEnded, bool runRunning) {
  if (!command.judged) {
    if (!runEnded && runRunning) return "running";
    if (!runEnded && !command.returned) return "killed";
    return "error";
  }
  if (command.skipped) return "skipped";
  if (command.IsFlags()) return "flags";
  return JudgementWords(command.verdict, command.returnCode, autonomic);
}

}  // namespace pxtool
