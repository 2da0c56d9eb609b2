// One update run, step by step. The entry point calls these steps in order
// (see quillon_main.cc); each step reports itself to the trace and the run
// log.
//
// What the caller can rely on after a run:
//  - the status file in the final directory holds Status=5 (or 4 when a
//    reboot was requested) and the final code;
//  - every command line that was started is marked "1" in the argument file,
//    and every command that finished has its return code in the line;
//  - the run log ends with the final code.

#ifndef QUILLON_RUN_H_
#define QUILLON_RUN_H_

#include <string>
#include <vector>

#include "arg_file.h"

class Run {
 public:
  Run(int argc, char** argv);

  // Steps 1-4: the version trace, the initial directory and the argument
  // count. False when there is no argument at all.
  bool HasArguments();
  // No argument: status 5 with the handler error; returns the final code.
  unsigned int EndWithoutArguments();

  // Evaluates the command line ("-v" and "-h" end the process here), then
  // closes the inherited descriptors.
  void EvaluateCommandLine();

  // Works out the mode and moves to the working directory.
  void EnterWorkingDirectory();

  // Takes the package's lock (see run_lock.h). False when another run
  // holds it; the run then ends with EndWhilePackageHeld, which writes the
  // run log only: the other run's status file and marks stay untouched.
  bool LockPackage();
  unsigned int EndWhilePackageHeld();

  // Opens the run log with its header (unless autonomic without "-d") and
  // writes status 3.
  void StartRun();

  // Opens the argument file for reading and writing. False when it cannot
  // be opened; the run then ends with EndWithoutArgumentFile.
  bool OpenArgumentFile();
  unsigned int EndWithoutArgumentFile();

  // Maps the argument file, reads the basic parameters, checks the package
  // against the trust policy (package_trust.h), stages the package files
  // and moves to the execution directory. Raises an unsigned code.
  void PreparePackage();

  // The directory of trusted keys (kTrustedKeysDirectory unless set).
  void SetTrustedKeysDirectory(const std::string& directory) {
    trustedKeysDir_ = directory;
  }

  // Chooses the command section and runs its pending commands. Returns the
  // run result; raises an unsigned code. First, when a run killed before
  // left the record of its command's process group (command_group.h) and
  // that group still runs, waits without a time limit until it has ended,
  // so that no two commands of the package ever run at once (a stopping
  // signal ends the wait and the run, nothing started).
  unsigned int RunCommands();

  // Reports a code raised by the steps above; returns it as the run result.
  unsigned int Caught(unsigned int code);
  // Reports that memory ran out in the steps above (a std::bad_alloc) and
  // returns the memory error, to be passed to Caught.
  unsigned int OutOfMemory();

  // Cleans up, composes and reports the final code, writes status 5 and
  // returns to the initial directory.
  unsigned int Finish(unsigned int runResult);

 private:
  int argc_;
  char** argv_;
  std::string InitialCurrentDir;
  std::string WorkingPathArg;
  std::string CurrentDir;
  bool NoPreAndPost = false;
  ArgFileView view_;
  std::string trustedKeysDir_;
  std::vector<std::string> warnings_;  // logged once the run log is open
  int devNullError_ = 0;  // /dev/null could not be put on 0, 1 and 2

  void OpenRunLogWithHeader();
  void WaitForEarlierCommand();
};

#endif  // QUILLON_RUN_H_
