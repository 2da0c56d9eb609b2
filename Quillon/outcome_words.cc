#include "outcome_words.h"

#include "codes.h"
#include "keywords.h"

namespace {

struct KnownCode {
  unsigned int code;
  const char* verdict;
  const char* description;
};

// The codes a run composes, outside autonomic mode without the delayed-reboot
// bit.
const KnownCode kClassicCodes[] = {
    {0, "success", "all commands ran"},
    {2, "aborted", "aborted by its flags"},
    {5, "reboot_requested", "reboot requested by a command's flags"},
    {6, "reboot_suppressed", "a reboot was due but suppressed (-n, local mode)"},
    {16, "no_adequate_hardware", "aborted: no adequate hardware"},
    {17, "incorrect_target", "aborted: incorrect target system"},
};

const KnownCode kAutonomicCodes[] = {
    {0, "success", "all commands ran"},
    {1, "success", "all commands ran; a reboot is due after the run"},
    {2, "reboot_requested",
     "a command's flags asked for a reboot (not carried out in autonomic mode)"},
    {8, "aborted", "aborted by its flags"},
    {16, "no_adequate_hardware", "aborted: no adequate hardware"},
    {17, "incorrect_target", "incorrect target system"},
    {55, "other", "failed (autonomic code 55)"},
};

template <size_t N>
const KnownCode* Find(const KnownCode (&codes)[N], unsigned int code) {
  for (const KnownCode& known : codes)
    if (known.code == code) return &known;
  return nullptr;
}

}  // namespace

FinalCodeMeaning DescribeFinalCode(unsigned int code, bool autonomic) {
  FinalCodeMeaning m;
  if (code >= QUILLON_EXECERROR_BEGIN && code < QUILLON_EXECERROR_END) {
    bool memory = code == EXECERROR_NoMemory;
    m.verdict = memory ? "out_of_memory" : "handler_error";
    m.description = memory ? "out of memory: the run ended (see the run log)"
                           : "handler error: the run could not read, stage or run the "
                             "package (see the run log)";
    return m;
  }
  if (autonomic) {
    if (const KnownCode* known = Find(kAutonomicCodes, code)) {
      m.verdict = known->verdict;
      m.description = known->description;
      m.delayedReboot = code == 1;
      if (code == 17) m.condition = "incorrect_target";
    } else if (const Keyword* k = KeywordOfAutonomicCode(code)) {
      m.verdict = "condition";
      m.condition = k->codeName;
      m.description = std::string("the run went through; condition: ") + k->codeWords;
    } else {
      m.description = "a code the run does not compose";
    }
    return m;
  }
  m.delayedReboot = (code & kFinalCodeDelayedRebootBit) != 0;
  unsigned int base = code & ~kFinalCodeDelayedRebootBit;
  if (const KnownCode* known = Find(kClassicCodes, base)) {
    m.verdict = known->verdict;
    m.description = known->description;
  } else if (base >= QUILLON_EXECERROR_BEGIN && base < QUILLON_EXECERROR_END) {
    FinalCodeMeaning inner = DescribeFinalCode(base, false);
    m.verdict = inner.verdict;
    m.description = inner.description;
  } else {
    m.description = "a code the run does not compose";
  }
  if (m.delayedReboot) m.description += "; a reboot is due after the run";
  return m;
}

const char* JudgementWords(long long judgement, unsigned long long returnCode,
                           bool autonomic) {
  if (judgement == 0) return returnCode == 0 ? "ok" : "go_on";
  if (autonomic) {
    if (judgement == 8) return "aborted";
    if (judgement == 2) return "reboot";
  } else {
    if (judgement == 2) return "aborted";
    if (judgement == 5) return "reboot";
    if (judgement == 6) return "reboot_suppressed";
  }
  if (judgement == 16) return "no_adequate_hardware";
  if (judgement == 17) return "incorrect_target";
  return "other";
}

const char* RebootWords(unsigned int finalCode, bool autonomic) {
  if (autonomic)
    return finalCode == 2 ? "requested" : finalCode == 1 ? "delayed" : "none";
  const unsigned int base = finalCode & ~kFinalCodeDelayedRebootBit;
  if (base == 5) return "requested";
  if (base == 6) return "suppressed";
  return (finalCode & kFinalCodeDelayedRebootBit) != 0 ? "delayed" : "none";
}
