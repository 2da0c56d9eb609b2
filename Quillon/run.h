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
//
// Lack of memory. Where the run's steps say what it does (the basic
// parameters, a command line's working copies, a flags line), that is what
// happens. Everywhere else an allocation that fails raises std::bad_alloc,
// which the entry point catches like a raised code: the run ends with
// EXECERROR_NoMemory through Caught and Finish. Finish, SetExecStatus, the
// run log and the trace need no memory, and a block reserved at the start
// is given back before Finish, so a run that ran out of memory still ends
// with its status file, its last log lines and its exit code, never with a
// signal. A process that cannot even reserve that block at the start ends
// at once (EndWithoutMemory): then not even a C++ exception could be
// raised, since the C++ runtime's own emergency store is missing too.

#ifndef QUILLON_RUN_H_
#define QUILLON_RUN_H_

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "arg_file.h"
#include "reboot_marker.h"
#include "run_history.h"
#include "run_lock.h"
#include "run_output_writer.h"
#include "taken_lines.h"

class Run {
 public:
  Run(int argc, char** argv);  // allocates nothing
  ~Run();

  // Reserves the block for the end of the run. False when there is no
  // memory for it; the run then ends with EndWithoutMemory, which writes
  // status 5 with EXECERROR_NoMemory into the current directory and
  // returns that code, using no memory.
  bool ReserveMemory();
  unsigned int EndWithoutMemory();

  // Steps 1-4: the version trace, the initial directory and the argument
  // count. False when there is no argument at all.
  bool HasArguments();
  // No argument: status 5 with the handler error; returns the final code.
  unsigned int EndWithoutArguments();

  // Evaluates the command line ("-v" and "-h" end the process here), then
  // closes the inherited descriptors, keeping with "-d" a private duplicate
  // of the caller's standard output for the run's diagnostics.
  void EvaluateCommandLine();

  // Works out the mode and moves to the working directory.
  void EnterWorkingDirectory();

  // Takes the package's lock (see run_lock.h). False when another run
  // holds it or it cannot be taken; the run then ends with EndWithoutLock,
  // which writes the run log only: the other run's status file and marks
  // stay untouched. An argument file that cannot be opened is left to
  // OpenArgumentFile to report.
  bool LockPackage();
  unsigned int EndWithoutLock();

  // Opens the run log with its header (unless autonomic without "-d") and,
  // beside it, the commands' output file (run_output_writer.h), and writes
  // status 3.
  void StartRun();

  // Opens the argument file for reading and writing. False when it cannot
  // be opened; the run then ends with EndWithoutArgumentFile.
  bool OpenArgumentFile();
  unsigned int EndWithoutArgumentFile();

  // Maps the argument file, reads the basic parameters, checks the package
  // against the trust policy (package_trust.h), stages the package files
  // and moves to the execution directory. Raises an unsigned code. With a
  // trust policy, every line the run takes from here on goes into the
  // package's record of taken lines before it is marked (taken_lines.h).
  void PreparePackage();

  // The directory of trusted keys (kTrustedKeysDirectory unless set). Not
  // copied: it must outlive the run.
  void SetTrustedKeysDirectory(const char* directory) {
    trustedKeysDir_ = directory;
  }
  // The directory of the run locks (kRunLockDirectory unless set). Not
  // copied: it must outlive the run.
  void SetRunLockDirectory(const char* directory) {
    runLockDir_ = directory;
  }
  // The state directory that holds the records of taken lines
  // (kStateDirectory unless set). Not copied: it must outlive the run.
  void SetStateDirectory(const char* directory) { stateDir_ = directory; }
  // Where failures of the commands' output file are reported besides the
  // trace (RunOutputWriter::SetSystemLog): the system log unless set. Not
  // copied.
  void SetSystemLog(const char* file) {
    systemLog_ = SystemLog(file);
    output_.SetSystemLog(file);
    history_.SetSystemLog(systemLog_);
  }
  // The directory of the history database (kHistoryDirectory unless set;
  // empty: no history is kept). Not copied. See run_history.h: the run
  // records itself there from StartRun (or EndWithoutLock) on, and nothing
  // of it changes the run.
  void SetHistoryDirectory(const char* directory) {
    history_.SetDirectory(directory);
  }
  // The directory of the reboot-required marker (kRebootMarkerDirectory
  // unless set). Not copied.
  void SetRebootMarkerDirectory(const char* directory) {
    rebootMarkerDir_ = directory;
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
  // returns the memory error, to be passed to Caught. Moves to the working
  // directory first if the run had not got there.
  unsigned int OutOfMemory();

  // Gives back the reserved block, cleans up, composes and reports the
  // final code, writes status 5 and returns to the initial directory.
  // Raises nothing.
  unsigned int Finish(unsigned int runResult);

 private:
  int argc_;
  char** argv_;
  std::string InitialCurrentDir;
  std::string WorkingPathArg;
  std::string CurrentDir;
  bool NoPreAndPost = false;
  ArgFileView view_;
  const char* trustedKeysDir_;
  const char* runLockDir_;
  const char* stateDir_;
  std::optional<RunLock> lock_;  // held until the process ends
  // With a trust policy: the package's record of taken lines, which the
  // argument file's mapping adds every taken line to.
  std::optional<TakenLines> taken_;
  RunLockState lockState_ = RunLockState::kFailed;
  std::string lockWhy_;
  void* reserve_ = nullptr;  // the block given back before Finish
  bool workingDirectoryEntered_ = false;
  std::vector<std::string> warnings_;  // logged once the run log is open
  int devNullError_ = 0;  // /dev/null could not be put on 0, 1 and 2
  // Where the diagnostics of "-d" go: standard output until the inherited
  // descriptors are closed, then the private duplicate of the caller's
  // standard output, which the run owns (left at standard output, by then
  // /dev/null, if none could be had).
  FILE* debugOutput_ = stdout;
  // With trust enforced: the argument file as it was verified (a private
  // copy, the size of the mapping), which the commands are taken from.
  std::string verifiedText_;
  // The commands' output beside the run log, opened with it (closed when
  // the run object goes).
  RunOutputWriter output_;
  SystemLog systemLog_;
  const char* rebootMarkerDir_ = kRebootMarkerDirectory;
  // The run's record in the history database (run_history.h).
  RunHistory history_;

  void OpenRunLogWithHeader(time_t startTime);
  // Moves to the working directory the command line names, without memory
  // (see EndWithoutMemory), unless the run is there already.
  void EnterWorkingDirectoryWithoutMemory();
  void WaitForEarlierCommand();
  // The history's start: what the run is, as far as it is known now.
  void StartHistory(bool lockHeld);
  // The argument file's pristine digest for the history, read through its
  // descriptor (never through the mapping).
  void RecordDigest();
};

#endif  // QUILLON_RUN_H_
