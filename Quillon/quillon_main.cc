// Quillon: carries out one unpacked update package. See run.h for the steps
// and README.md for the command line.

#include <cstdlib>
#include <new>

#include "quillon.h"
#include "reboot.h"
#include "run.h"

int main(int argc, char** argv) {
  Run run(argc, argv);
  if (!run.ReserveMemory()) return static_cast<int>(run.EndWithoutMemory());
#ifdef QUILLON_TEST_BUILD
  // A test build's seams, so that no test touches the machine: the reboot
  // program is a fake in the build tree; the reboot-required marker, the run
  // locks and the records of taken lines are in the directories the
  // environment names (the fixed ones when unset); the trusted keys, the
  // system log (a file) and the history database are where it names, none
  // when unset. The shipped program never reads these variables.
  pRebootProgram = QUILLON_REBOOT_PROGRAM;
  auto orNone = [](const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "";
  };
  if (const char* dir = getenv("QUILLON_REBOOT_MARKER_DIR")) run.SetRebootMarkerDirectory(dir);
  if (const char* dir = getenv("QUILLON_RUN_LOCK_DIR")) run.SetRunLockDirectory(dir);
  if (const char* dir = getenv("QUILLON_STATE_DIR")) run.SetStateDirectory(dir);
  run.SetTrustedKeysDirectory(orNone("QUILLON_TRUSTED_KEYS_DIR"));
  run.SetSystemLog(orNone("QUILLON_SYSTEM_LOG"));
  run.SetHistoryDirectory(orNone("QUILLON_HISTORY_DIR"));
#endif

  // Every step may run out of memory, so the catch covers them all: a
  // std::bad_alloc ends the run like a raised code (see run.h).
  unsigned int result;
  try {
    if (!run.HasArguments())
      return static_cast<int>(run.EndWithoutArguments());
    run.EvaluateCommandLine();
    run.EnterWorkingDirectory();
    if (!run.LockPackage())
      return static_cast<int>(run.EndWithoutLock());
    run.StartRun();
    if (!run.OpenArgumentFile())
      return static_cast<int>(run.EndWithoutArgumentFile());
    run.PreparePackage();
    result = run.RunCommands();
  } catch (unsigned int code) {
    result = run.Caught(code);
  } catch (const std::bad_alloc&) {
    result = run.Caught(run.OutOfMemory());
  }
  return static_cast<int>(run.Finish(result));
}
