// What a run's codes mean in words: the final code (its verdict, the
// delayed-reboot bit, the autonomic condition), the verdict a judged
// command line got, and the reboot a final code leaves. Pure functions over
// values, part of the package model: the run writes these words into its
// history (run_history.h), and pxtool status, report and history show them.

#ifndef QUILLON_OUTCOME_WORDS_H_
#define QUILLON_OUTCOME_WORDS_H_

#include <string>

// The bit a delayed reboot adds to the final code outside autonomic mode.
const unsigned int kFinalCodeDelayedRebootBit = 0x100000;

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

// The verdict of a judged command line: ok (judged 0, returned 0), go_on
// (judged 0, returned another code the flags let pass), aborted, reboot,
// reboot_suppressed, no_adequate_hardware, incorrect_target, or other (a
// judgement the run does not make).
const char* JudgementWords(long long judgement, unsigned long long returnCode,
                           bool autonomic);

// The reboot a run's final code leaves: "requested" (handed to the reboot
// program: verdict 5; autonomic 2, which is never carried out), "suppressed"
// (verdict 6: -n, local mode), "delayed" (the delayed-reboot bit; autonomic
// 1), or "none". The first that applies, in that order.
const char* RebootWords(unsigned int finalCode, bool autonomic);

#endif  // QUILLON_OUTCOME_WORDS_H_
