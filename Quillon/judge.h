// Flags lines and the judgement of a return code, as values: what a flags
// line sets, and what a return code leads to given those flags and the
// conditions noted so far. Part of the package model (package_model.h). The
// run's own interface over its process globals (DoItYourselfCmdA,
// checkFlags, string2intA) is in flags.h and uses this.

#ifndef QUILLON_JUDGE_H_
#define QUILLON_JUDGE_H_

#include <string>
#include <vector>

#include "codes.h"
#include "keywords.h"

// --- Flags lines and the judgement of a return code -------------------------

// The pending flags a flags line sets: every flag of the line, the others
// empty.
struct FlagSet {
  bool set[MAX_FLAGS] = {};
  unsigned int value[MAX_FLAGS] = {};  // number flags; 1 for word flags
  std::string omitList;                // slot omit_ret_codes: the list text
  bool Any() const;
};

// The flags text after "flag" and its separator, read as a run reads it:
// each flag name found anywhere as plain text; a number flag needs a blank
// after its name and takes the decimal number behind it (strtol, low 32
// bits); "omit_ret_codes " takes the text up to ";" or the end.
FlagSet ParseFlags(const char* flagsText);
// Whether `flag` takes a number.
inline bool IsNumberFlag(int flag) {
  return KeywordAt(flag).argument == KeywordArgument::kNumber;
}
// The value one flag gets from the flags text, or false when the text does
// not set it. `takesNumber`: the name must be followed by a blank and a
// decimal number (strtol, low 32 bits); otherwise the value is 1.
bool ReadFlagValue(const char* flagsText, int flag, bool takesNumber,
                   unsigned int* value);

// One code of an omit list, converted as the run converts it.
enum class OmitCodeKind {
  kNumber,     // value holds it (low 32 bits, negated for a leading "-")
  kNoNumber,   // -1: empty, or characters after the number; never matches
               // a real return code
  kOutOfRange  // beyond unsigned long: a run ends with exit status 1
};
// Cuts trailing blanks and line feeds off `piece` in place, like the run.
// For a code out of range, `digits` (if given) receives the digits that
// were converted (without blanks and sign).
OmitCodeKind ReadOmitCode(char* piece, int base, int* value,
                          std::string* digits = nullptr);

// One piece of an omit list as the judgement compares it: the list is
// cleaned (double quotes, tabs and line feeds become blanks, surrounding
// blanks go) and split at every ","; empty pieces are passed over.
struct OmitPiece {
  size_t offset = 0;  // where the piece starts in the list text as written
  std::string text;   // as handed to ReadOmitCode
};
std::vector<OmitPiece> SplitOmitList(const std::string& list);

// The codes of an omit list in the order a judgement compares them: the
// list cleaned (double quotes, tabs and line feeds become blanks, the
// surrounding blanks go), split at every ",", empty pieces passed over, each
// piece read by ReadOmitCode in base 10. A piece that is no number has the
// value -1 and so matches the return code 0xFFFFFFFF, as in a run. The list
// ends with the first code out of range: a judgement that reaches it ends
// the process, so nothing after it counts.
struct OmitCode {
  OmitCodeKind kind = OmitCodeKind::kNoNumber;
  unsigned int value = 0;  // kNumber, kNoNumber
  std::string digits;      // kOutOfRange: the digits converted
};
std::vector<OmitCode> ReadOmitList(const std::string& list);

// What the judgements of a run accumulate: the conditions noted, each in
// the slot of the keyword that owns it (keywords.h), and the failure code
// (cmdRet).
struct Conditions {
  bool noted[MAX_FLAGS] = {};
  int cmdRet = 0;
};

// The final code a run in autonomic mode that went through gets from its
// conditions: that of the lowest-ranked condition noted, else the failure
// code.
unsigned int AutonomicConditionCode(const Conditions& conditions);

struct JudgeSettings {
  bool noReboot = false;   // agt_no_reboot: a reboot becomes 6
  bool autonomic = false;  // translate the verdict
};

// Something the run does while it judges, in the order it does it.
struct JudgeEvent {
  enum Kind {
    kRebootRequest,  // a reboot flag fired in a run that may reboot
    kDelayedNote,    // a delayed flag fired: `text` is its trace name
    kOmitCodeOutOfRange,  // `text` is the code: the run ends (exit 1)
  } kind;
  std::string text;
};

struct Verdict {
  int result = 0;  // 0 go on, 2, 5, 6, 16, 17 (autonomic: 0, 8, 2, 16, 17, 55)
  std::vector<JudgeEvent> events;
  bool endsProcess = false;  // an omit-list code out of range was met
};

// Judges `rc` against `flags` as checkFlags does, updating `conditions`.
// A reboot request is an event: the run hands it to the reboot program
// (only when the run may reboot: not noReboot, not autonomic).
Verdict Judge(const FlagSet& flags, unsigned int rc, Conditions* conditions,
              const JudgeSettings& settings);

#endif  // QUILLON_JUDGE_H_
