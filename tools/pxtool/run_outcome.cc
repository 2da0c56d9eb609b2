#include "run_outcome.h"

#include "quillon.h"
#include "run_log_reader.h"

namespace pxtool {

namespace {

struct Condition {
  unsigned int code;
  const char* name;
  const char* words;
};

// The autonomic codes that report a condition or a failure (the order of
// the final-code composition; 17 is a verdict of its own).
const Condition kConditions[] = {
    {59, "os_not_supported", "the operating system is not supported"},
    {60, "subsystem_not_supported", "the subsystem is not supported"},
    {22, "kernel_module_missing", "a kernel module is missing"},
    {21, "package_missing", "a package is missing"},
    {23, "bitlocker_blocked", "BitLocker blocks the update"},
    {24, "txt_blocked", "TXT blocks the update"},
    {63, "no_downgrade", "no downgrade"},
    {64, "no_update", "no update"},
    {66, "wrong_prior_version", "wrong prior version"},
    {65, "unfulfilled_prerequisite", "a prerequisite is not fulfilled"},
    {10, "ac_cycle", "an AC power cycle is due"},
    {70, "power_cycle", "a power cycle is due"},
    {67, "extraction_failed", "extraction failed"},
    {68, "driver_install_failed", "driver installation failed"},
    {69, "software_install_failed", "software installation failed"},
    {71, "pfr_blocked", "PFR blocks the update"},
    {72, "sdcard_error", "SD card error"},
    {73, "recovery_update_error", "recovery update error"},
};

}  // namespace

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
    for (const Condition& c : kConditions) {
      if (c.code != code) continue;
      m.verdict = "condition";
      m.condition = c.name;
      m.description = std::string("the run went through; condition: ") + c.words;
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
