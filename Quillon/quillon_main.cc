// Quillon: carries out one unpacked update package. See run.h for the steps
// and README.md for the command line.

#include <cstdlib>
#include <new>

#include "quillon.h"
#include "reboot.h"
#include "run.h"

int main(int argc, char** argv) {
#ifdef QUILLON_REBOOT_PROGRAM
  pRebootProgram = QUILLON_REBOOT_PROGRAM;  // a test build's fake
#endif
  Run run(argc, argv);
  if (!run.ReserveMemory()) return static_cast<int>(run.EndWithoutMemory());
#ifdef QUILLON_REBOOT_MARKER_DIR_FROM_ENV
  // A test build's reboot-required marker: in the directory the environment
  // names.
  if (const char* markers = getenv("QUILLON_REBOOT_MARKER_DIR"))
    run.SetRebootMarkerDirectory(markers);
#endif
#ifdef QUILLON_TRUSTED_KEYS_FROM_ENV
  // A test build's trust policy: the directory the environment names, or
  // none. The shipped program never reads this variable.
  const char* keys = getenv("QUILLON_TRUSTED_KEYS_DIR");
  run.SetTrustedKeysDirectory(keys ? keys : "");
#endif
#ifdef QUILLON_RUN_LOCK_DIR_FROM_ENV
  // A test build's run locks: in the directory the environment names.
  if (const char* locks = getenv("QUILLON_RUN_LOCK_DIR"))
    run.SetRunLockDirectory(locks);
#endif
#ifdef QUILLON_STATE_DIR_FROM_ENV
  // A test build's records of taken lines: in the directory the
  // environment names.
  if (const char* state = getenv("QUILLON_STATE_DIR"))
    run.SetStateDirectory(state);
#endif

#ifdef QUILLON_SYSTEM_LOG_FROM_ENV
  // A test build's system log: the file the environment names, or nowhere,
  // so that no test writes into the machine's log.
  const char* systemLog = getenv("QUILLON_SYSTEM_LOG");
  run.SetSystemLog(systemLog ? systemLog : "");
#endif
#ifdef QUILLON_HISTORY_DIR_FROM_ENV
  // A test build's history database: in the directory the environment
  // names, or none, so that no test writes into the machine's.
  const char* history = getenv("QUILLON_HISTORY_DIR");
  run.SetHistoryDirectory(history ? history : "");
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
