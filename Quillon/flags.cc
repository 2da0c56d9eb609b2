#include "flags.h"

#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "cmdline.h"
#include "reboot.h"
#include "report.h"

namespace {

const size_t kCodeCopySize = 8192;  // tmpstring: one code of an omit list

bool IsWordFlag(int flag) {
  return flag == Reboot || flag == Delayed || flag == not_omit_flags;
}

[[noreturn]] void RaiseNoMemory() {
  if (debug) fputs("Can't alloc memory", DebugOutput());
  throw static_cast<unsigned int>(EXECERROR_NoMemory);
}

void ReleaseSlot(int flag) {
  if (flag == omit_ret_codes)
    delete[] static_cast<char*>(piFlags[flag]);
  else
    delete static_cast<unsigned int*>(piFlags[flag]);
  piFlags[flag] = nullptr;
}

void RebootAction(int* result) {
  if (agt_no_reboot) {
    *result = JLCSTATE_Reboot_Suppressed;
    return;
  }
  *result = JLCSTATE_Reboot;
  if (!autonomic) DoAReboot();
}

void NoteDelayed(const char* which) {
  QTRACE(2, "Flag \"%s\" found - system reboot required!", which);
  delayedReboot = true;
}

// True when rc equals one of the codes of the omit list.
bool OmitListMatches(const char* list, unsigned int rc) {
  std::string text(list);
  char* cleaned = cleanStringA(&text[0]);
  for (char* piece = cleaned; piece != nullptr;) {
    char* comma = strchr(piece, ',');
    if (comma) *comma = '\0';
    if (*piece != '\0' &&
        static_cast<unsigned int>(string2intA(piece, 10)) == rc)
      return true;
    piece = comma ? comma + 1 : nullptr;
  }
  return false;
}

// Applies one pending number or word flag; `value` is its stored value.
void ApplyFlag(int flag, unsigned int value, unsigned int rc, int* result) {
  switch (flag) {
    case abort_ne: if (rc != value) *result = JLCSTATE_Error; break;
    case abort_eq: if (rc == value) *result = JLCSTATE_Error; break;
    case abort_gt: if (rc > value) *result = JLCSTATE_Error; break;
    case abort_lt: if (rc < value) *result = JLCSTATE_Error; break;
    case Reboot: RebootAction(result); break;
    case reboot_ne: if (rc != value) RebootAction(result); break;
    case reboot_eq: if (rc == value) RebootAction(result); break;
    case reboot_gt: if (rc > value) RebootAction(result); break;
    case reboot_lt: if (rc < value) RebootAction(result); break;
    case Delayed: NoteDelayed("Delayed"); break;
    case delayed_ne: if (rc != value) NoteDelayed("delayed ne"); break;
    case delayed_eq: if (rc == value) NoteDelayed("delayed eq"); break;
    case delayed_gt: if (rc > value) NoteDelayed("delayed gt"); break;
    case delayed_lt: if (rc < value) NoteDelayed("delayed lt"); break;
    case ac_cycle: if (rc == value) acCycle = true; break;
    case powercycle_eq: if (rc == value) powercycle = true; break;
    case wrong_prior_version: if (rc == value) wrongPriorVersion = true; break;
    case unfullfilled_prerequisite:
      if (rc == value) unfullfilledPrerequisite = true;
      break;
    case no_downgrade: if (rc == value) noDowngrade = true; break;
    case no_update: if (rc == value) noUpdate = true; break;
    case omit_update_eq: if (rc == value) *result = JLCSTATE_OK; break;
    case not_supported_SubSys: if (rc == value) notSupportedSubSys = true; break;
    case no_adequate_HW: if (rc == value) noAdequateHW = true; break;
    case not_supported_OS: if (rc == value) notSupportedOS = true; break;
    case kernel_module_missing: if (rc == value) kernelModuleMissing = true; break;
    case pkg_missing: if (rc == value) pkgMissing = true; break;
    case incorrect_target_system:
      if (rc == value) {
        incorrectTarget = true;
        *result = JLCSTATE_Error;
      }
      break;
    case bitlocker_blocked: if (rc == value) bitLockerBlocked = true; break;
    case txt_blocked: if (rc == value) trustedExeTecBlocked = true; break;
    case not_omit_flags: if (rc == value) notOmitFlags = true; break;
    case extraction_fail: if (rc == value) cmdRet = 67; break;
    case drv_inst_fail: if (rc == value) cmdRet = 68; break;
    case sw_inst_fail: if (rc == value) cmdRet = 69; break;
    case pfr_blocked_eq: if (rc == value) cmdRet = 71; break;
    case sdcard_error_eq: if (rc == value) cmdRet = 72; break;
    case recoveryupdate_error_eq: if (rc == value) cmdRet = 73; break;
    default: break;
  }
}

// A condition noted by any command turns an abort or reboot into "go on":
// the condition reaches the caller through the final code instead.
int ApplyConditions(int result) {
  if (result == 0 || notOmitFlags) return result;
  if (acCycle || powercycle || notSupportedOS || notSupportedSubSys ||
      kernelModuleMissing || pkgMissing || bitLockerBlocked ||
      trustedExeTecBlocked || noDowngrade || noUpdate || wrongPriorVersion ||
      unfullfilledPrerequisite || cmdRet != 0)
    return 0;
  if (noAdequateHW) return 16;
  if (incorrectTarget) return 17;
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

void assignFlag(char* cCommand, unsigned int flag, bool argFollow) {
  const char* name = flag_name[flag];
  const char* found = strstr(cCommand, name);
  if (found == nullptr) {
    ReleaseSlot(static_cast<int>(flag));
    return;
  }
  unsigned int value = 1;
  if (argFollow) {
    const char* after = found + strlen(name);
    if (*after != ' ') {
      ReleaseSlot(static_cast<int>(flag));
      return;
    }
    value = static_cast<unsigned int>(strtol(after + 1, nullptr, 10));
  }
  if (piFlags[flag] == nullptr) {
    piFlags[flag] = new (std::nothrow) unsigned int;
    if (piFlags[flag] == nullptr) RaiseNoMemory();
  }
  *static_cast<unsigned int*>(piFlags[flag]) = value;
}

unsigned int DoItYourselfCmdA(char* cCommand) {
  cmdRet = 0;
  for (unsigned int flag = 0; flag < MAX_FLAGS; ++flag) {
    if (!IsWordFlag(static_cast<int>(flag)) && flag != omit_ret_codes)
      assignFlag(cCommand, flag, true);
  }
  static const char kOmitKey[] = "omit_ret_codes ";
  const char* list = strstr(cCommand, kOmitKey);
  ReleaseSlot(omit_ret_codes);
  if (list != nullptr) {
    list += strlen(kOmitKey);
    size_t length = strcspn(list, ";");
    char* copy = new (std::nothrow) char[length + 1];
    if (copy == nullptr) RaiseNoMemory();
    memcpy(copy, list, length);
    copy[length] = '\0';
    piFlags[omit_ret_codes] = copy;
  }
  assignFlag(cCommand, Reboot, false);
  assignFlag(cCommand, Delayed, false);
  assignFlag(cCommand, not_omit_flags, false);
  return 0;
}

int checkFlags(unsigned int Sysret) {
  int result = JLCSTATE_OK;
  for (int flag = 0; flag < MAX_FLAGS; ++flag) {
    if (piFlags[flag] == nullptr) continue;
    if (flag == omit_ret_codes) {
      if (OmitListMatches(static_cast<const char*>(piFlags[flag]), Sysret))
        result = JLCSTATE_OK;
    } else {
      ApplyFlag(flag, *static_cast<unsigned int*>(piFlags[flag]), Sysret,
                &result);
    }
    ReleaseSlot(flag);
  }
  result = ApplyConditions(result);
  return autonomic ? TranslateForAutonomic(result) : result;
}

int string2intA(char* string, int base) {
  if (string == nullptr || *string == '\0') return -1;
  size_t length = strlen(string);
  while (length > 0 &&
         (string[length - 1] == ' ' || string[length - 1] == '\n'))
    string[--length] = '\0';
  if (length == 0) return -1;

  const char* first = string;
  while (*first == ' ') ++first;
  bool negative = (*first == '-');
  const char* digits = negative ? first + 1 : string;
  // A code longer than the working copy cannot be a return code: it never
  // matches, rather than being cut into some other number.
  if (strlen(digits) >= kCodeCopySize) return -1;
  char tmpstring[kCodeCopySize];
  strcpy(tmpstring, digits);

  char* end = nullptr;
  errno = 0;
  unsigned long value = strtoul(tmpstring, &end, base);
  if (errno == ERANGE) {
    QREPORT(1, "ERROR : code \"%s\" of an omit list in argument file \"%s\" "
            "is out of range - run ends with exit status 1", tmpstring,
            pArgFileName);
    perror("strtoul");
    exit(1);
  }
  if (*end != '\0') value = ~0ul;
  unsigned int low = static_cast<unsigned int>(value);
  return static_cast<int>(negative ? 0u - low : low);
}
