#include "judge.h"

#include <errno.h>

#include <cstdlib>
#include <cstring>

namespace {

const size_t kCodeCopySize = 8192;  // the working copy of one omit code

bool IsWordFlag(int flag) {
  return flag == Reboot || flag == Delayed || flag == not_omit_flags;
}

}  // namespace

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
  const char* name = flag_name[flag];
  const char* found = strstr(flagsText, name);
  if (found == nullptr) return false;
  *value = 1;
  if (!takesNumber) return true;
  const char* after = found + strlen(name);
  if (*after != ' ') return false;  // "abort_ne=0" sets nothing
  *value = static_cast<unsigned int>(strtol(after + 1, nullptr, 10));
  return true;
}

bool IsNumberFlag(int flag) {
  return !IsWordFlag(flag) && flag != omit_ret_codes;
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

  const char* first = piece;
  while (*first == ' ') ++first;
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

bool Conditions::TurnsVerdictsIntoGoOn() const {
  return acCycle || powercycle || notSupportedOS || notSupportedSubSys ||
         kernelModuleMissing || pkgMissing || bitLockerBlocked ||
         trustedExeTecBlocked || noDowngrade || noUpdate ||
         wrongPriorVersion || unfullfilledPrerequisite || cmdRet != 0;
}

namespace {

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
  void Delayed(const char* which) {
    verdict->events.push_back({JudgeEvent::kDelayedNote, which});
    c->delayedReboot = true;
  }

  // Applies one pending number or word flag with its stored value.
  void Apply(int flag, unsigned int v) {
    int* result = &verdict->result;
    switch (flag) {
      case abort_ne: if (rc != v) *result = JLCSTATE_Error; break;
      case abort_eq: if (rc == v) *result = JLCSTATE_Error; break;
      case abort_gt: if (rc > v) *result = JLCSTATE_Error; break;
      case abort_lt: if (rc < v) *result = JLCSTATE_Error; break;
      case Reboot: RebootAction(); break;
      case reboot_ne: if (rc != v) RebootAction(); break;
      case reboot_eq: if (rc == v) RebootAction(); break;
      case reboot_gt: if (rc > v) RebootAction(); break;
      case reboot_lt: if (rc < v) RebootAction(); break;
      case ::Delayed: Delayed("Delayed"); break;
      case delayed_ne: if (rc != v) Delayed("delayed ne"); break;
      case delayed_eq: if (rc == v) Delayed("delayed eq"); break;
      case delayed_gt: if (rc > v) Delayed("delayed gt"); break;
      case delayed_lt: if (rc < v) Delayed("delayed lt"); break;
      case ac_cycle: if (rc == v) c->acCycle = true; break;
      case powercycle_eq: if (rc == v) c->powercycle = true; break;
      case wrong_prior_version: if (rc == v) c->wrongPriorVersion = true; break;
      case unfullfilled_prerequisite:
        if (rc == v) c->unfullfilledPrerequisite = true;
        break;
      case no_downgrade: if (rc == v) c->noDowngrade = true; break;
      case no_update: if (rc == v) c->noUpdate = true; break;
      case omit_update_eq: if (rc == v) *result = JLCSTATE_OK; break;
      case not_supported_SubSys: if (rc == v) c->notSupportedSubSys = true; break;
      case no_adequate_HW: if (rc == v) c->noAdequateHW = true; break;
      case not_supported_OS: if (rc == v) c->notSupportedOS = true; break;
      case kernel_module_missing: if (rc == v) c->kernelModuleMissing = true; break;
      case pkg_missing: if (rc == v) c->pkgMissing = true; break;
      case incorrect_target_system:
        if (rc == v) {
          c->incorrectTarget = true;
          *result = JLCSTATE_Error;
        }
        break;
      case bitlocker_blocked: if (rc == v) c->bitLockerBlocked = true; break;
      case txt_blocked: if (rc == v) c->trustedExeTecBlocked = true; break;
      case not_omit_flags: if (rc == v) c->notOmitFlags = true; break;
      case extraction_fail: if (rc == v) c->cmdRet = 67; break;
      case drv_inst_fail: if (rc == v) c->cmdRet = 68; break;
      case sw_inst_fail: if (rc == v) c->cmdRet = 69; break;
      case pfr_blocked_eq: if (rc == v) c->cmdRet = 71; break;
      case sdcard_error_eq: if (rc == v) c->cmdRet = 72; break;
      case recoveryupdate_error_eq: if (rc == v) c->cmdRet = 73; break;
      default: break;
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

// A condition noted by any command turns an abort or reboot into "go on":
// the condition reaches the caller through the final code instead.
int ApplyConditions(int result, const Conditions& c) {
  if (result == 0 || c.notOmitFlags) return result;
  if (c.TurnsVerdictsIntoGoOn()) return 0;
  if (c.noAdequateHW) return 16;
  if (c.incorrectTarget) return 17;
  return result;
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

Verdict Judge(const FlagSet& flags, unsigned int rc, Conditions* conditions,
              const JudgeSettings& settings) {
  Verdict verdict;
  Judging judging{rc, conditions, settings, &verdict};
  for (int flag = 0; flag < MAX_FLAGS; ++flag) {
    if (!flags.set[flag]) continue;
    if (flag == omit_ret_codes) {
      if (!judging.Omit(flags.omitList)) return verdict;
    } else {
      judging.Apply(flag, flags.value[flag]);
    }
  }
  verdict.result = ApplyConditions(verdict.result, *conditions);
  if (settings.autonomic) verdict.result = TranslateForAutonomic(verdict.result);
  return verdict;
}
