// Quillon: carries out one unpacked update package. See run.h for the steps
// and README.md for the command line.

#include <new>

#include "quillon.h"
#include "reboot.h"
#include "run.h"

int main(int argc, char** argv) {
#ifdef QUILLON_REBOOT_PROGRAM
  pRebootProgram = QUILLON_REBOOT_PROGRAM;  // a test build's fake
#endif
  Run run(argc, argv);
  if (!run.HasArguments()) return static_cast<int>(run.EndWithoutArguments());
  run.EvaluateCommandLine();
  run.EnterWorkingDirectory();
  if (!run.LockPackage()) return static_cast<int>(run.EndWhilePackageHeld());
  run.StartRun();
  if (!run.OpenArgumentFile())
    return static_cast<int>(run.EndWithoutArgumentFile());

  unsigned int result;
  try {
    run.PreparePackage();
    result = run.RunCommands();
  } catch (unsigned int code) {
    result = run.Caught(code);
  } catch (const std::bad_alloc&) {
    result = run.Caught(run.OutOfMemory());
  }
  return static_cast<int>(run.Finish(result));
}
