// The keywords of a flags line and everything that follows from each: one
// row per keyword, in the order of its slot among the pending flags.
//
// A row says how the keyword is written (its name and whether a number or a
// list follows it), when it fires (always, or by comparing the return code
// with its number), what it does to the judgement (abort, reboot, a delayed
// reboot, a condition noted, the verdict turned back to "go on", a failure
// code), and, for a keyword that notes a condition of its own, what that
// condition means: its name in plans, its effect on later verdicts, and the
// final code it gives in autonomic mode. The judgement (judge.h), the run's
// final code, pxtool's plans and its explanations of final codes all read
// this table, so adding a keyword is one row here (and its slot in the
// enumeration); keywords.cc checks at compile time that every slot has its
// row and that every row is complete.
//
// Part of the package model: no run state, no I/O.

#ifndef QUILLON_KEYWORDS_H_
#define QUILLON_KEYWORDS_H_

#include <cstddef>

// The return-code flags of a flags line, by their slot among the pending
// flags. The words of a flags line are the enumerator names (FlagName).
enum flags {
  abort_ne = 0,
  abort_eq,
  abort_gt,
  abort_lt,
  Reboot,
  reboot_ne,
  reboot_eq,
  reboot_gt,
  reboot_lt,
  Delayed,
  delayed_ne,
  delayed_eq,
  delayed_gt,
  delayed_lt,
  ac_cycle,
  powercycle_eq,
  wrong_prior_version,
  unfullfilled_prerequisite,
  no_downgrade,
  no_update,
  omit_update_eq,
  not_supported_SubSys,
  no_adequate_HW,
  not_supported_OS,
  kernel_module_missing,
  pkg_missing,
  incorrect_target_system,
  bitlocker_blocked,
  txt_blocked,
  omit_ret_codes,
  not_omit_flags,
  extraction_fail,
  drv_inst_fail,
  sw_inst_fail,
  pfr_blocked_eq,
  sdcard_error_eq,
  recoveryupdate_error_eq,
  MAX_FLAGS  // 37
};

// What follows a keyword in a flags line.
enum class KeywordArgument {
  kNone,    // a word alone: its value is 1
  kNumber,  // a blank and a decimal number
  kList,    // a blank and a list of codes up to ";" (omit_ret_codes)
};

// When a keyword fires, comparing the return code with its number.
enum class KeywordTest { kAlways, kEq, kNe, kGt, kLt };

// What a keyword does when it fires.
enum class KeywordEffect {
  kAbort,        // the verdict becomes "abort" (2)
  kReboot,       // a reboot is requested (5; 6 when suppressed)
  kNote,         // notes the condition of slot `condition`
  kNoteAndAbort, // notes its condition and aborts
  kGoOn,         // the verdict so far becomes "go on" (0)
  kFailure,      // the run's failure code becomes `autonomicCode`
  kOmitList,     // "go on" when the return code is in the list
};

// What a noted condition does to every later verdict that is not "go on".
enum class ConditionEffect {
  kNone,           // nothing
  kGoOn,           // turns it into "go on"; the final code tells why
  kVerdictStands,  // keeps it, whatever the other conditions say
  kVerdict,        // replaces it by `verdict` (unless a kGoOn one is noted)
};

struct Keyword {
  int slot;          // its enumerator: the row's place, checked
  const char* name;  // the word of a flags line
  KeywordArgument argument;
  KeywordTest test;
  KeywordEffect effect;
  // kNote, kNoteAndAbort: the slot whose condition it notes (its own, or
  // that of the keyword it shares the condition with); -1 for the others.
  int condition;
  const char* traceName;  // a delayed reboot's name in the trace, or null
  // A row whose condition is its own describes the condition: its name in
  // plans, its effect on later verdicts (and the verdict of kVerdict).
  const char* note;
  ConditionEffect conditionEffect;
  int verdict;
  // The final code the condition, or the failure code (kFailure), gives a
  // run in autonomic mode that went through; the condition's rank among
  // those noted (the lowest wins; 0: none); pxtool's name and words for it.
  unsigned int autonomicCode;
  int autonomicRank;
  const char* codeName;
  const char* codeWords;

  constexpr bool NotesOwnCondition() const {
    return (effect == KeywordEffect::kNote ||
            effect == KeywordEffect::kNoteAndAbort) &&
           condition == slot;
  }
};

namespace keyword_rows {

// The rows' builders, one for each kind of keyword.
typedef KeywordArgument A;
typedef KeywordTest T;
typedef KeywordEffect E;
typedef ConditionEffect C;

// A keyword that aborts, requests a reboot, or turns the verdict back to
// "go on"; a word when it fires always.
constexpr Keyword Action(int slot, const char* name, T test, E effect,
                         A argument = A::kNumber) {
  return Keyword{slot, name,
                 test == T::kAlways && argument == A::kNumber ? A::kNone
                                                              : argument,
                 test,
                 effect, -1, nullptr, nullptr, C::kNone, 0, 0, 0, nullptr,
                 nullptr};
}

// A keyword that notes a condition of its own.
constexpr Keyword Condition(int slot, const char* name, T test,
                            const char* note, C effect, unsigned int code,
                            int rank, const char* codeName = nullptr,
                            const char* codeWords = nullptr,
                            E action = E::kNote, int verdict = 0) {
  return Keyword{slot, name, test == T::kAlways ? A::kNone : A::kNumber,
                 test, action, slot, nullptr, note, effect, verdict, code,
                 rank, codeName, codeWords};
}

// A keyword that notes the delayed reboot, Delayed's condition.
constexpr Keyword DelayedBy(int slot, const char* name, T test,
                            const char* traceName) {
  Keyword k = slot == Delayed ? Condition(slot, name, test, "delayed_reboot",
                                          C::kNone, 1, 14)
                              : Action(slot, name, test, E::kNote);
  k.condition = Delayed;
  k.traceName = traceName;
  return k;
}

// A keyword that sets the run's failure code.
constexpr Keyword Failure(int slot, const char* name, unsigned int code,
                          const char* codeName, const char* codeWords) {
  Keyword k = Action(slot, name, T::kEq, E::kFailure);
  k.autonomicCode = code;
  k.codeName = codeName;
  k.codeWords = codeWords;
  return k;
}

// A word (value 1) compared like a number: it fires for return code 1.
constexpr Keyword Word(Keyword k) {
  k.argument = A::kNone;
  return k;
}

inline constexpr Keyword kTable[] = {
    Action(abort_ne, "abort_ne", T::kNe, E::kAbort),
    Action(abort_eq, "abort_eq", T::kEq, E::kAbort),
    Action(abort_gt, "abort_gt", T::kGt, E::kAbort),
    Action(abort_lt, "abort_lt", T::kLt, E::kAbort),
    Action(Reboot, "Reboot", T::kAlways, E::kReboot),
    Action(reboot_ne, "reboot_ne", T::kNe, E::kReboot),
    Action(reboot_eq, "reboot_eq", T::kEq, E::kReboot),
    Action(reboot_gt, "reboot_gt", T::kGt, E::kReboot),
    Action(reboot_lt, "reboot_lt", T::kLt, E::kReboot),
    DelayedBy(Delayed, "Delayed", T::kAlways, "Delayed"),
    DelayedBy(delayed_ne, "delayed_ne", T::kNe, "delayed ne"),
    DelayedBy(delayed_eq, "delayed_eq", T::kEq, "delayed eq"),
    DelayedBy(delayed_gt, "delayed_gt", T::kGt, "delayed gt"),
    DelayedBy(delayed_lt, "delayed_lt", T::kLt, "delayed lt"),
    Condition(ac_cycle, "ac_cycle", T::kEq, "ac_cycle", C::kGoOn, 10, 12,
              "ac_cycle", "an AC power cycle is due"),
    Condition(powercycle_eq, "powercycle_eq", T::kEq, "powercycle", C::kGoOn,
              70, 13, "power_cycle", "a power cycle is due"),
    Condition(wrong_prior_version, "wrong_prior_version", T::kEq,
              "wrong_prior_version", C::kGoOn, 66, 9, "wrong_prior_version",
              "wrong prior version"),
    Condition(unfullfilled_prerequisite, "unfullfilled_prerequisite", T::kEq,
              "unfullfilled_prerequisite", C::kGoOn, 65, 10,
              "unfulfilled_prerequisite", "a prerequisite is not fulfilled"),
    Condition(no_downgrade, "no_downgrade", T::kEq, "no_downgrade", C::kGoOn,
              63, 7, "no_downgrade", "no downgrade"),
    Condition(no_update, "no_update", T::kEq, "no_update", C::kGoOn, 64, 8,
              "no_update", "no update"),
    Action(omit_update_eq, "omit_update_eq", T::kEq, E::kGoOn),
    Condition(not_supported_SubSys, "not_supported_SubSys", T::kEq,
              "not_supported_subsys", C::kGoOn, 60, 2,
              "subsystem_not_supported", "the subsystem is not supported"),
    Condition(no_adequate_HW, "no_adequate_HW", T::kEq, "no_adequate_hw",
              C::kVerdict, 0, 0, nullptr, nullptr, E::kNote, 16),
    Condition(not_supported_OS, "not_supported_OS", T::kEq,
              "not_supported_os", C::kGoOn, 59, 1, "os_not_supported",
              "the operating system is not supported"),
    Condition(kernel_module_missing, "kernel_module_missing", T::kEq,
              "kernel_module_missing", C::kGoOn, 22, 3,
              "kernel_module_missing", "a kernel module is missing"),
    Condition(pkg_missing, "pkg_missing", T::kEq, "pkg_missing", C::kGoOn, 21,
              4, "package_missing", "a package is missing"),
    Condition(incorrect_target_system, "incorrect_target_system", T::kEq,
              "incorrect_target", C::kVerdict, 17, 11, nullptr, nullptr,
              E::kNoteAndAbort, 17),
    Condition(bitlocker_blocked, "bitlocker_blocked", T::kEq,
              "bitlocker_blocked", C::kGoOn, 23, 5, "bitlocker_blocked",
              "BitLocker blocks the update"),
    Condition(txt_blocked, "txt_blocked", T::kEq, "txt_blocked", C::kGoOn, 24,
              6, "txt_blocked", "TXT blocks the update"),
    Action(omit_ret_codes, "omit_ret_codes", T::kAlways, E::kOmitList,
           A::kList),
    Word(Condition(not_omit_flags, "not_omit_flags", T::kEq, "not_omit_flags",
                   C::kVerdictStands, 0, 0)),
    Failure(extraction_fail, "extraction_fail", 67, "extraction_failed",
            "extraction failed"),
    Failure(drv_inst_fail, "drv_inst_fail", 68, "driver_install_failed",
            "driver installation failed"),
    Failure(sw_inst_fail, "sw_inst_fail", 69, "software_install_failed",
            "software installation failed"),
    Failure(pfr_blocked_eq, "pfr_blocked_eq", 71, "pfr_blocked",
            "PFR blocks the update"),
    Failure(sdcard_error_eq, "sdcard_error_eq", 72, "sdcard_error",
            "SD card error"),
    Failure(recoveryupdate_error_eq, "recoveryupdate_error_eq", 73,
            "recovery_update_error", "recovery update error"),
};

}  // namespace keyword_rows

// The table, one row per slot; a missing row does not compile.
inline constexpr const Keyword (&kKeywords)[MAX_FLAGS] = keyword_rows::kTable;

// The row of `slot` (0 <= slot < MAX_FLAGS).
constexpr const Keyword& KeywordAt(int slot) { return kKeywords[slot]; }

// The word of a flags line for `slot`.
inline const char* FlagName(int slot) { return KeywordAt(slot).name; }

// The names of all slots, in slot order: the flags table's names.
extern const char* const (&kFlagNames)[MAX_FLAGS];

// The row of the condition or failure code that gives `code` as an
// autonomic final code, or null.
const Keyword* KeywordOfAutonomicCode(unsigned int code);

#endif  // QUILLON_KEYWORDS_H_
