#include "judge.h"

#include <errno.h>

#include <cstdlib>
#include <cstring>

const size_t kCodeCopySize = 8192;  // the working copy of one omit code

std::vector<OmitPiece> SplitOmitList(const std::string& list) {
  // Cleaning keeps every character in its place but the surrounding
  // blanks, so an offset into the cleaned text plus the blanks cut at the
  // front is an offset into the list as written.
  std::string text(list);
  for (char& c : text)
    if (c == '"' || c == '\t' || c == '\n') c = ' ';
  std::vector<OmitPiece> pieces;
  size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return pieces;
  size_t last = text.find_last_not_of(' ');
  size_t start = first;
  for (;;) {
    size_t comma = text.find(',', start);
    size_t stop = comma == std::string::npos || comma > last ? last + 1 : comma;
    if (stop > start) pieces.push_back({start, text.substr(start, stop - start)});
    if (comma == std::string::npos || comma > last) return pieces;
    start = comma + 1;
  }
}

bool ReadFlagValue(const char* flagsText, int flag, bool takesNumber,
                   unsigned int* value) {
  const char* name = FlagName(flag);
  const char* found = strstr(flagsText, name);
  if (found == nullptr) return false;
  *value = 1;
  if (!takesNumber) return true;
  const char* after = found + strlen(name);
  if (*after != ' ') return false;  // "abort_ne=0" sets nothing
  *value = static_cast<unsigned int>(strtol(after + 1, nullptr, 10));
  return true;
}

bool FlagSet::Any() const {
  for (bool s : set)
    if (s) return true;
  return false;
}

FlagSet ParseFlags(const char* flagsText) {
  FlagSet flags;
  for (int flag = 0; flag < MAX_FLAGS; ++flag) {
    if (flag == omit_ret_codes) continue;
    flags.set[flag] =
        ReadFlagValue(flagsText, flag, IsNumberFlag(flag), &flags.value[flag]);
  }
  static const char kOmitKey[] = "omit_ret_codes ";
  if (const char* list = strstr(flagsText, kOmitKey)) {
    list += strlen(kOmitKey);
    flags.omitList.assign(list, strcspn(list, ";"));
    flags.set[omit_ret_codes] = true;
  }
  return flags;
}

OmitCodeKind ReadOmitCode(char* piece, int base, int* value,
                          std::string* digitsShown) {
  *value = -1;
  if (piece == nullptr || *piece == '\0') return OmitCodeKind::kNoNumber;
  size_t length = strlen(piece);
  while (length > 0 && (piece[length - 1] == ' ' || piece[length - 1] == '\n'))
    piece[--length] = '\0';
  if (length == 0) return OmitCodeKind::kNoNumber;

  const char* first = piece + strspn(piece, " ");
  bool negative = (*first == '-');
  const char* digits = negative ? first + 1 : piece;
  // A code longer than the working copy cannot be a return code: it never
  // matches, rather than being cut into some other number.
  if (strlen(digits) >= kCodeCopySize) return OmitCodeKind::kNoNumber;
  char* end = nullptr;
  errno = 0;
  unsigned long number = strtoul(digits, &end, base);
  if (errno == ERANGE) {
    if (digitsShown) *digitsShown = digits;
    return OmitCodeKind::kOutOfRange;
  }
  OmitCodeKind kind = OmitCodeKind::kNumber;
  if (*end != '\0') {
    number = ~0ul;
    kind = OmitCodeKind::kNoNumber;
  }
  unsigned int low = static_cast<unsigned int>(number);
  *value = static_cast<int>(negative ? 0u - low : low);
  return kind;
}

std::vector<OmitCode> ReadOmitList(const std::string& list) {
  std::vector<OmitCode> codes;
  for (OmitPiece& piece : SplitOmitList(list)) {
    OmitCode code;
    int value = -1;
    code.kind = ReadOmitCode(&piece.text[0], 10, &value, &code.digits);
    code.value = static_cast<unsigned int>(value);
    codes.push_back(code);
    if (code.kind == OmitCodeKind::kOutOfRange) break;
  }
  return codes;
}

namespace {

bool Fires(KeywordTest test, unsigned int rc, unsigned int v) {
  switch (test) {
    case KeywordTest::kAlways: return true;
    case KeywordTest::kEq: return rc == v;
    case KeywordTest::kNe: return rc != v;
    case KeywordTest::kGt: return rc > v;
    case KeywordTest::kLt: return rc < v;
  }
  return false;
}

struct Judging {
  unsigned int rc;
  Conditions* c;
  const JudgeSettings& settings;
  Verdict* verdict;

  void RebootAction() {
    if (settings.noReboot) {
      verdict->result = JLCSTATE_Reboot_Suppressed;
      return;
    }
    verdict->result = JLCSTATE_Reboot;
    if (!settings.autonomic)
      verdict->events.push_back({JudgeEvent::kRebootRequest, std::string()});
  }

  // Applies one pending number or word flag with its stored value.
  void Apply(const Keyword& k, unsigned int v) {
    if (!Fires(k.test, rc, v)) return;
    switch (k.effect) {
      case KeywordEffect::kAbort: verdict->result = JLCSTATE_Error; break;
      case KeywordEffect::kReboot: RebootAction(); break;
      case KeywordEffect::kNoteAndAbort:
        verdict->result = JLCSTATE_Error;
        c->noted[k.condition] = true;
        break;
      case KeywordEffect::kNote:
        if (k.traceName != nullptr)
          verdict->events.push_back({JudgeEvent::kDelayedNote, k.traceName});
        c->noted[k.condition] = true;
        break;
      case KeywordEffect::kGoOn: verdict->result = JLCSTATE_OK; break;
      case KeywordEffect::kFailure:
        c->cmdRet = static_cast<int>(k.autonomicCode);
        break;
      case KeywordEffect::kOmitList: break;  // see Omit
    }
  }

  // The omit list: on the first code equal to rc the result becomes 0.
  // False when a code out of range ends the process first.
  bool Omit(const std::string& list) {
    for (const OmitCode& code : ReadOmitList(list)) {
      if (code.kind == OmitCodeKind::kOutOfRange) {
        verdict->events.push_back({JudgeEvent::kOmitCodeOutOfRange, code.digits});
        verdict->endsProcess = true;
        return false;
      }
      if (code.value == rc) {
        verdict->result = JLCSTATE_OK;
        return true;
      }
    }
    return true;
  }
};

// A condition noted by any command turns an abort or reboot into "go on"
// (the condition reaches the caller through the final code instead), or
// into a verdict of its own; one condition keeps every verdict as it is.
int ApplyConditions(int result, const Conditions& c) {
  if (result == 0) return result;
  bool goOn = c.cmdRet != 0;
  int replaced = 0;
  for (int slot = 0; slot < MAX_FLAGS; ++slot) {
    if (!c.noted[slot]) continue;
    switch (KeywordAt(slot).conditionEffect) {
      case ConditionEffect::kNone: break;
      case ConditionEffect::kVerdictStands: return result;
      case ConditionEffect::kGoOn: goOn = true; break;
      case ConditionEffect::kVerdict:
        if (replaced == 0) replaced = KeywordAt(slot).verdict;
        break;
    }
  }
  if (goOn) return 0;
  return replaced != 0 ? replaced : result;
}

int TranslateForAutonomic(int result) {
  switch (result) {
    case 0: case 1: return 0;
    case 5: case 6: return 2;
    case 2: return 8;
    case 16: case 17: return result;
    default: return 55;
  }
}

}  // namespace

unsigned int AutonomicConditionCode(const Conditions& conditions) {
  const Keyword* first = nullptr;
  for (const Keyword& k : kKeywords)
    if (k.autonomicRank != 0 && conditions.noted[k.slot] &&
        (first == nullptr || k.autonomicRank < first->autonomicRank))
      first = &k;
  return first != nullptr ? first->autonomicCode
                          : static_cast<unsigned int>(conditions.cmdRet);
}

Verdict Judge(const FlagSet& flags, unsigned int rc, Conditions* conditions,
              const JudgeSettings& settings) {
  Verdict verdict;
  Judging judging{rc, conditions, settings, &verdict};
  for (int flag = 0; flag < MAX_FLAGS; ++flag) {
    if (!flags.set[flag]) continue;
    if (flag == omit_ret_codes) {
      if (!judging.Omit(flags.omitList)) return verdict;
    } else {
      judging.Apply(KeywordAt(flag), flags.value[flag]);
    }
  }
  verdict.result = ApplyConditions(verdict.result, *conditions);
  if (settings.autonomic) verdict.result = TranslateForAutonomic(verdict.result);
  return verdict;
}
