// The run's flags interface over its process globals: the pending flags in
// piFlags and the condition flags of quillon.h. Parsing and judging are the
// package model's (judge.h); this file stores what they find and carries out
// what they ask for (the reboot request, the trace lines, the end of the
// process on an omit-list code out of range).

#include "flags.h"

#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "judge.h"
#include "reboot.h"
#include "report.h"

namespace {

[[noreturn]] void RaiseNoMemory(FILE* debugOutput) {
  if (debug) fputs("Can't alloc memory", debugOutput);
  throw static_cast<unsigned int>(EXECERROR_NoMemory);
}

void ReleaseSlot(int flag) {
  if (flag == omit_ret_codes)
    delete[] static_cast<char*>(piFlags[flag]);
  else
    delete static_cast<unsigned int*>(piFlags[flag]);
  piFlags[flag] = nullptr;
}

// Fills the empty slot `flag` with a number.
void StoreNumber(int flag, unsigned int value, FILE* debugOutput) {
  piFlags[flag] = new (std::nothrow) unsigned int(value);
  if (piFlags[flag] == nullptr) RaiseNoMemory(debugOutput);
}

FlagSet PendingFlags() {
  FlagSet flags;
  for (int flag = 0; flag < MAX_FLAGS; ++flag) {
    if (piFlags[flag] == nullptr) continue;
    flags.set[flag] = true;
    if (flag == omit_ret_codes)
      flags.omitList = static_cast<const char*>(piFlags[flag]);
    else
      flags.value[flag] = *static_cast<unsigned int*>(piFlags[flag]);
  }
  return flags;
}

// The run's condition globals, by the slot of the keyword that owns each
// condition.
constexpr struct {
  int slot;
  bool* global;
} kConditionGlobals[] = {
    {Delayed, &delayedReboot},
    {ac_cycle, &acCycle},
    {powercycle_eq, &powercycle},
    {wrong_prior_version, &wrongPriorVersion},
    {unfullfilled_prerequisite, &unfullfilledPrerequisite},
    {no_downgrade, &noDowngrade},
    {no_update, &noUpdate},
    {not_supported_SubSys, &notSupportedSubSys},
    {no_adequate_HW, &noAdequateHW},
    {not_supported_OS, &notSupportedOS},
    {kernel_module_missing, &kernelModuleMissing},
    {pkg_missing, &pkgMissing},
    {incorrect_target_system, &incorrectTarget},
    {bitlocker_blocked, &bitLockerBlocked},
    {txt_blocked, &trustedExeTecBlocked},
    {not_omit_flags, &notOmitFlags},
};

// Every condition a keyword notes is kept in a global of the run.
constexpr bool EveryConditionHasItsGlobal() {
  for (int slot = 0; slot < MAX_FLAGS; ++slot) {
    if (!KeywordAt(slot).NotesOwnCondition()) continue;
    bool found = false;
    for (const auto& entry : kConditionGlobals)
      found = found || entry.slot == slot;
    if (!found) return false;
  }
  return true;
}
static_assert(EveryConditionHasItsGlobal(),
              "a condition keyword has no global in kConditionGlobals");

void StoreConditions(const Conditions& c) {
  for (const auto& entry : kConditionGlobals)
    *entry.global = c.noted[entry.slot];
  cmdRet = c.cmdRet;
}

// An omit-list code beyond the range of unsigned long ends the process.
[[noreturn]] void EndOnCodeOutOfRange(const char* code) {
  QREPORT(1, "ERROR : code \"%s\" of an omit list in argument file \"%s\" "
          "is out of range - run ends with exit status 1", code,
          pArgFileName);
  errno = ERANGE;
  perror("strtoul");
  exit(1);
}

}  // namespace

Conditions CurrentConditions() {
  Conditions c;
  for (const auto& entry : kConditionGlobals)
    c.noted[entry.slot] = *entry.global;
  c.cmdRet = cmdRet;
  return c;
}

void ClearPendingFlags() {
  for (int flag = 0; flag < MAX_FLAGS; ++flag) ReleaseSlot(flag);
}

unsigned int DoItYourselfCmdA(char* cCommand) {
  return DoItYourselfCmdA(cCommand, stdout);
}

unsigned int DoItYourselfCmdA(char* cCommand, FILE* debugOutput) {
  cmdRet = 0;
  FlagSet flags;
  try {
    flags = ParseFlags(cCommand);
  } catch (const std::bad_alloc&) {
    RaiseNoMemory(debugOutput);
  }
  for (int flag = 0; flag < MAX_FLAGS; ++flag) {
    ReleaseSlot(flag);
    if (!flags.set[flag]) continue;
    if (flag != omit_ret_codes) {
      StoreNumber(flag, flags.value[flag], debugOutput);
      continue;
    }
    char* copy = new (std::nothrow) char[flags.omitList.size() + 1];
    if (copy == nullptr) RaiseNoMemory(debugOutput);
    memcpy(copy, flags.omitList.c_str(), flags.omitList.size() + 1);
    piFlags[flag] = copy;
  }
  return 0;
}

int checkFlags(unsigned int Sysret) {
  Conditions conditions = CurrentConditions();
  JudgeSettings settings;
  settings.noReboot = agt_no_reboot;
  settings.autonomic = autonomic;
  Verdict verdict = Judge(PendingFlags(), Sysret, &conditions, settings);
  ClearPendingFlags();
  for (const JudgeEvent& event : verdict.events) {
    switch (event.kind) {
      case JudgeEvent::kRebootRequest:
        DoAReboot();
        break;
      case JudgeEvent::kDelayedNote:
        QTRACE(2, "Flag \"%s\" found - system reboot required!",
               event.text.c_str());
        break;
      case JudgeEvent::kOmitCodeOutOfRange:
        EndOnCodeOutOfRange(event.text.c_str());
    }
  }
  StoreConditions(conditions);
  return verdict.result;
}

int string2intA(char* string, int base) {
  int value = -1;
  std::string digits;
  if (ReadOmitCode(string, base, &value, &digits) == OmitCodeKind::kOutOfRange)
    EndOnCodeOutOfRange(digits.c_str());
  return value;
}
