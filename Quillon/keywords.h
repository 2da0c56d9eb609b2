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

constexpr KeywordArgument WORD = KeywordArgument::kNone,
                          NUM = KeywordArgument::kNumber,
                          LIST = KeywordArgument::kList;
constexpr KeywordTest ALWAYS = KeywordTest::kAlways, EQ = KeywordTest::kEq,
                      NE = KeywordTest::kNe, GT = KeywordTest::kGt,
                      LT = KeywordTest::kLt;
constexpr KeywordEffect ABORT = KeywordEffect::kAbort,
                        REBOOT = KeywordEffect::kReboot,
                        NOTE = KeywordEffect::kNote,
                        NOTE_AND_ABORT = KeywordEffect::kNoteAndAbort,
                        GO_ON = KeywordEffect::kGoOn,
                        FAILURE = KeywordEffect::kFailure,
                        OMIT_LIST = KeywordEffect::kOmitList;
constexpr ConditionEffect NONE = ConditionEffect::kNone,
                          GOES_ON = ConditionEffect::kGoOn,
                          STANDS = ConditionEffect::kVerdictStands,
                          VERDICT = ConditionEffect::kVerdict;

// Columns as in Keyword: slot, name, argument, test, effect, condition,
// trace name; note, condition effect, verdict, autonomic code, rank, code
// name, code words. not_omit_flags is a word whose value, 1, is compared
// like a number's: it fires for return code 1.
inline constexpr Keyword kTable[] = {
    {abort_ne, "abort_ne", NUM, NE, ABORT, -1, 0, 0, NONE, 0, 0, 0, 0, 0},
    {abort_eq, "abort_eq", NUM, EQ, ABORT, -1, 0, 0, NONE, 0, 0, 0, 0, 0},
    {abort_gt, "abort_gt", NUM, GT, ABORT, -1, 0, 0, NONE, 0, 0, 0, 0, 0},
    {abort_lt, "abort_lt", NUM, LT, ABORT, -1, 0, 0, NONE, 0, 0, 0, 0, 0},
    {Reboot, "Reboot", WORD, ALWAYS, REBOOT, -1, 0, 0, NONE, 0, 0, 0, 0, 0},
    {reboot_ne, "reboot_ne", NUM, NE, REBOOT, -1, 0, 0, NONE, 0, 0, 0, 0, 0},
    {reboot_eq, "reboot_eq", NUM, EQ, REBOOT, -1, 0, 0, NONE, 0, 0, 0, 0, 0},
    {reboot_gt, "reboot_gt", NUM, GT, REBOOT, -1, 0, 0, NONE, 0, 0, 0, 0, 0},
    {reboot_lt, "reboot_lt", NUM, LT, REBOOT, -1, 0, 0, NONE, 0, 0, 0, 0, 0},
    {Delayed, "Delayed", WORD, ALWAYS, NOTE, Delayed, "Delayed",
     "delayed_reboot", NONE, 0, 1, 14, 0, 0},
    {delayed_ne, "delayed_ne", NUM, NE, NOTE, Delayed, "delayed ne",
     0, NONE, 0, 0, 0, 0, 0},
    {delayed_eq, "delayed_eq", NUM, EQ, NOTE, Delayed, "delayed eq",
     0, NONE, 0, 0, 0, 0, 0},
    {delayed_gt, "delayed_gt", NUM, GT, NOTE, Delayed, "delayed gt",
     0, NONE, 0, 0, 0, 0, 0},
    {delayed_lt, "delayed_lt", NUM, LT, NOTE, Delayed, "delayed lt",
     0, NONE, 0, 0, 0, 0, 0},
    {ac_cycle, "ac_cycle", NUM, EQ, NOTE, ac_cycle, 0,
     "ac_cycle", GOES_ON, 0, 10, 12, "ac_cycle", "an AC power cycle is due"},
    {powercycle_eq, "powercycle_eq", NUM, EQ, NOTE, powercycle_eq, 0,
     "powercycle", GOES_ON, 0, 70, 13, "power_cycle", "a power cycle is due"},
    {wrong_prior_version, "wrong_prior_version", NUM, EQ, NOTE,
     wrong_prior_version, 0,
     "wrong_prior_version", GOES_ON, 0, 66, 9, "wrong_prior_version",
     "wrong prior version"},
    {unfullfilled_prerequisite, "unfullfilled_prerequisite", NUM, EQ, NOTE,
     unfullfilled_prerequisite, 0,
     "unfullfilled_prerequisite", GOES_ON, 0, 65, 10,
     "unfulfilled_prerequisite", "a prerequisite is not fulfilled"},
    {no_downgrade, "no_downgrade", NUM, EQ, NOTE, no_downgrade, 0,
     "no_downgrade", GOES_ON, 0, 63, 7, "no_downgrade", "no downgrade"},
    {no_update, "no_update", NUM, EQ, NOTE, no_update, 0,
     "no_update", GOES_ON, 0, 64, 8, "no_update", "no update"},
    {omit_update_eq, "omit_update_eq", NUM, EQ, GO_ON, -1, 0,
     0, NONE, 0, 0, 0, 0, 0},
    {not_supported_SubSys, "not_supported_SubSys", NUM, EQ, NOTE,
     not_supported_SubSys, 0,
     "not_supported_subsys", GOES_ON, 0, 60, 2, "subsystem_not_supported",
     "the subsystem is not supported"},
    {no_adequate_HW, "no_adequate_HW", NUM, EQ, NOTE, no_adequate_HW, 0,
     "no_adequate_hw", VERDICT, 16, 0, 0, 0, 0},
    {not_supported_OS, "not_supported_OS", NUM, EQ, NOTE, not_supported_OS, 0,
     "not_supported_os", GOES_ON, 0, 59, 1, "os_not_supported",
     "the operating system is not supported"},
    {kernel_module_missing, "kernel_module_missing", NUM, EQ, NOTE,
     kernel_module_missing, 0,
     "kernel_module_missing", GOES_ON, 0, 22, 3, "kernel_module_missing",
     "a kernel module is missing"},
    {pkg_missing, "pkg_missing", NUM, EQ, NOTE, pkg_missing, 0,
     "pkg_missing", GOES_ON, 0, 21, 4, "package_missing",
     "a package is missing"},
    {incorrect_target_system, "incorrect_target_system", NUM, EQ,
     NOTE_AND_ABORT, incorrect_target_system, 0,
     "incorrect_target", VERDICT, 17, 17, 11, 0, 0},
    {bitlocker_blocked, "bitlocker_blocked", NUM, EQ, NOTE,
     bitlocker_blocked, 0, "bitlocker_blocked", GOES_ON, 0, 23, 5, "bitlocker_blocked",
     "BitLocker blocks the update"},
    {txt_blocked, "txt_blocked", NUM, EQ, NOTE, txt_blocked, 0,
     "txt_blocked", GOES_ON, 0, 24, 6, "txt_blocked", "TXT blocks the update"},
    {omit_ret_codes, "omit_ret_codes", LIST, ALWAYS, OMIT_LIST, -1, 0,
     0, NONE, 0, 0, 0, 0, 0},
    {not_omit_flags, "not_omit_flags", WORD, EQ, NOTE, not_omit_flags, 0,
     "not_omit_flags", STANDS, 0, 0, 0, 0, 0},
    {extraction_fail, "extraction_fail", NUM, EQ, FAILURE, -1, 0,
     0, NONE, 0, 67, 0, "extraction_failed", "extraction failed"},
    {drv_inst_fail, "drv_inst_fail", NUM, EQ, FAILURE, -1, 0,
     0, NONE, 0, 68, 0, "driver_install_failed", "driver installation failed"},
    {sw_inst_fail, "sw_inst_fail", NUM, EQ, FAILURE, -1, 0,
     0, NONE, 0, 69, 0, "software_install_failed",
     "software installation failed"},
    {pfr_blocked_eq, "pfr_blocked_eq", NUM, EQ, FAILURE, -1, 0,
     0, NONE, 0, 71, 0, "pfr_blocked", "PFR blocks the update"},
    {sdcard_error_eq, "sdcard_error_eq", NUM, EQ, FAILURE, -1, 0,
     0, NONE, 0, 72, 0, "sdcard_error", "SD card error"},
    {recoveryupdate_error_eq, "recoveryupdate_error_eq", NUM, EQ, FAILURE,
     -1, 0, 0, NONE, 0, 73, 0, "recovery_update_error", "recovery update error"},
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
