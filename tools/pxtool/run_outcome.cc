#include "run_outcome.h"

#include "codes.h"
#include "keywords.h"
#include "run_log_reader.h"

namespace pxtool {

FinalCodeMeaning DescribeFinalCode(unsigned int code, bool autonomic) {
  FinalCodeMeaning m;
  if (code >= QUILLON_EXECERROR_BEGIN && code < QUILLON_EXECERROR_END) {
    if (code == EXECERROR_NoMemory) {
      m.verdict = "out_of_memory";
      m.description = "out of memory: the run ended (see the run log)";
    } else {
      m.verdict = "handler_error";
      m.description =
          "handler error: the run could not read, stage or run the package "
          "(see the run log)";
    }
    return m;
  }
  if (autonomic) {
    switch (code) {
      case 0: m.verdict = "success"; m.description = "all commands ran"; return m;
      case 1:
        m.verdict = "success";
        m.delayedReboot = true;
        m.description = "all commands ran; a reboot is due after the run";
        return m;
      case 2:
        m.verdict = "reboot_requested";
        m.description = "a command's flags asked for a reboot (not carried "
                        "out in autonomic mode)";
        return m;
      case 8: m.verdict = "aborted"; m.description = "aborted by its flags"; return m;
      case 16:
        m.verdict = "no_adequate_hardware";
        m.description = "aborted: no adequate hardware";
        return m;
      case 17:
        m.verdict = "incorrect_target";
        m.condition = "incorrect_target";
        m.description = "incorrect target system";
        return m;
      case 55:
        m.description = "failed (autonomic code 55)";
        return m;
    }
    if (const Keyword* k = KeywordOfAutonomicCode(code)) {
      m.verdict = "condition";
      m.condition = k->codeName;
      m.description =
          std::string("the run went through; condition: ") + k->codeWords;
      return m;
    }
    m.description = "a code the run does not compose";
    return m;
  }
  m.delayedReboot = (code & kDelayedRebootBit) != 0;
  std::string later = m.delayedReboot ? "; a reboot is due after the run" : "";
  switch (code & ~kDelayedRebootBit) {
    case 0: m.verdict = "success"; m.description = "all commands ran"; break;
    case 2: m.verdict = "aborted"; m.description = "aborted by its flags"; break;
    case 5:
      m.verdict = "reboot_requested";
      m.description = "reboot requested by a command's flags";
      break;
    case 6:
      m.verdict = "reboot_suppressed";
      m.description = "a reboot was due but suppressed (-n, local mode)";
      break;
    case 16:
      m.verdict = "no_adequate_hardware";
      m.description = "aborted: no adequate hardware";
      break;
    case 17:
      m.verdict = "incorrect_target";
      m.description = "aborted: incorrect target system";
      break;
    default: {
      unsigned int base = code & ~kDelayedRebootBit;
      if (base >= QUILLON_EXECERROR_BEGIN && base < QUILLON_EXECERROR_END) {
        FinalCodeMeaning inner = DescribeFinalCode(base, false);
        m.verdict = inner.verdict;
        m.description = inner.description;
      } else {
        m.description = "a code the run does not compose";
      }
    }
  }
  m.description += later;
  return m;
}

const char* CommandVerdict(const LoggedCommand& command, bool autonomic,
                           bool runEnded, bool runRunning) {
  if (!command.judged) {
    if (!runEnded && runRunning) return "running";
    if (!runEnded && !command.returned) return "killed";
    return "error";
  }
  if (command.skipped) return "skipped";
  if (command.IsFlags()) return "flags";
  long long v = command.verdict;
  if (v == 0) return command.returnCode == 0 ? "ok" : "go_on";
  if (autonomic) {
    if (v == 8) return "aborted";
    if (v == 2) return "reboot";
  } else {
    if (v == 2) return "aborted";
    if (v == 5) return "reboot";
    if (v == 6) return "reboot_suppressed";
  }
  if (v == 16) return "no_adequate_hardware";
  if (v == 17) return "incorrect_target";
  return "other";
}

}  // namespace pxtool
