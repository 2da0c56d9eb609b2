#include "run.h"

#include <errno.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "arg_file_digest.h"
#include "cmdline.h"
#include "command_group.h"
#include "command_runner.h"
#include "descriptors.h"
#include "interrupts.h"
#include "outcome_words.h"
#include "package_model.h"
#include "package_trust.h"
#include "path_parts.h"
#include "process.h"
#include "reboot_marker.h"
#include "report.h"
#include "run_status.h"
#include "safe_file.h"
#include "staging.h"

namespace {

// The separator between directory and file name in path messages.
const char* const kSlash = "/";

// The block kept back for the end of the run. Large enough that having it
// shows that the C++ runtime could set up its emergency store for
// exceptions (about 73 KiB, taken before main), and that the end of the run
// finds room after it is given back.
const size_t kReserveSize = 96 * 1024;

// The working directory argument 1 asks for: itself, or in an autonomic run
// started as "autonomic" the program's own directory (in `wrp`), else "./".
// Needs no memory.
const char* WorkingDirectoryArgument(char** argv, bool autonomicRun,
                                     char (&wrp)[kWrpPathSize]) {
  if (!autonomicRun || strncasecmp(argv[1], "autonomic", 9) != 0)
    return argv[1];
  return Get_WRP_Path(argv[0], wrp) ? wrp : "./";
}

// A heap copy of `text` for the run's globals. Raises std::bad_alloc.
char* HeapCopy(const char* text) {
  char* copy = strdup(text);
  if (copy == nullptr) throw std::bad_alloc();
  return copy;
}

// The "-d" line with the final code, on the caller's standard output.
void PrintReturnCode(FILE* debugOutput, unsigned int code) {
  if (!debug) return;
  fprintf(debugOutput, QUILLON_LOG_FINAL_CODE "\n", code);
  fflush(debugOutput);
}

}  // namespace

Run::Run(int argc, char** argv)
    : argc_(argc),
      argv_(argv),
      trustedKeysDir_(kTrustedKeysDirectory),
      runLockDir_(kRunLockDirectory),
      stateDir_(kStateDirectory) {
  history_.SetDirectory(kHistoryDirectory);
}

Run::~Run() {
  free(reserve_);
  if (debugOutput_ != stdout) fclose(debugOutput_);
}

bool Run::ReserveMemory() {
  reserve_ = malloc(kReserveSize);
  return reserve_ != nullptr;
}

unsigned int Run::EndWithoutMemory() {
  QTRACE(1, "ERROR : out of memory at the start of the run - nothing done");
  EnterWorkingDirectoryWithoutMemory();
  SetExecStatus(5, EXECERROR_NoMemory);
  return EXECERROR_NoMemory;
}

void Run::EnterWorkingDirectoryWithoutMemory() {
  // The command line may not have been read: an argument 1 of "autonomic"
  // is taken to start autonomic mode, as it does whenever it is written so.
  if (workingDirectoryEntered_ || argc_ < 2) return;
  workingDirectoryEntered_ = true;
  char wrp[kWrpPathSize];
  CProcess::SetCurrentDir(WorkingDirectoryArgument(argv_, true, wrp));
}

bool Run::HasArguments() {
  QTRACE(1, "Version %d.%02d.%02d", QUILLON_VERSION_MAJOR,
         QUILLON_VERSION_MINOR, QUILLON_VERSION_PATCH);
  CProcess::GetCurrentDir(InitialCurrentDir);
  QTRACE(3, "Initial current working directory: \"%s\"",
         InitialCurrentDir.c_str());
  if (argc_ < 2) {
    QTRACE(1, "ERROR! Too few command line arguments: %d!", argc_);
    return false;
  }
  QTRACE(3, "Working directory provided by command line: \"%s\"", argv_[1]);
  if (argc_ > 2)
    QTRACE(3, "Argument file name provided by command line: '%s'", argv_[2]);
  return true;
}

unsigned int Run::EndWithoutArguments() {
  SetExecStatus(5, EXECERROR_HandlerError);
  return EXECERROR_HandlerError;
}

void Run::EvaluateCommandLine() {
  KeepRunningOnBrokenPipe();  // the usage and version texts go out first
  memset(externalOptionBuffer, 0, sizeof(externalOptionBuffer));
  memset(externalParameterBuffer, 0, sizeof(externalParameterBuffer));
  evaluateCmdlineOptions(argc_, argv_, &warnings_);
  FILE* kept = nullptr;
  devNullError_ = CloseInheritedDescriptors(debug, &kept);
  if (kept != nullptr) debugOutput_ = kept;
  InstallRunSignalHandlers();
}

void Run::EnterWorkingDirectory() {
  char szWRP_Path[kWrpPathSize];
  WorkingPathArg = WorkingDirectoryArgument(argv_, autonomic, szWRP_Path);
  CurrentDir = InitialCurrentDir;
  if (autonomic) {
    agt_no_reboot = true;
    NoPreAndPost = false;
    if (strncasecmp(argv_[1], "autonomic", 9) == 0 && argv_[0] != nullptr &&
        strlen(argv_[0]) >= kWrpPathSize)
      warnings_.push_back(
          "\nProgram path is longer than 1024 characters; working "
          "directory taken as \"./\"");
  } else {
    NoPreAndPost = (argc_ == 2);
    if (NoPreAndPost) agt_no_reboot = true;
  }

  if (strcasecmp(InitialCurrentDir.c_str(), WorkingPathArg.c_str()) != 0) {
    QTRACE(3, "Initial working directory is different from command line "
           "working directory - change working directory to \"%s\"...",
           WorkingPathArg.c_str());
    CProcess::SetCurrentDir(WorkingPathArg.c_str());
    workingDirectoryEntered_ = true;
    CProcess::GetCurrentDir(CurrentDir);
    QTRACE(3, "... working directory was changed to \"%s\"",
           CurrentDir.c_str());
  } else {
    workingDirectoryEntered_ = true;
    QTRACE(3, "Current working directory is already equal to working "
           "directory provided by command line");
  }
}

void Run::StartHistory(bool lockHeld) {
  HistoryRun run;
  try {
    run.packageDir = CurrentDir;
    run.argFile = pArgFileName[0] == '/' ? std::string(pArgFileName)
                                         : CurrentDir + kSlash + pArgFileName;
    if (char* real = realpath(run.argFile.c_str(), nullptr)) {
      run.argFile = real;
      free(real);
    }
    run.initialDir = InitialCurrentDir;
    run.mode = autonomic ? "autonomic" : NoPreAndPost ? "local" : "classic";
    run.section = SectionKey(expert   ? RunMode::kExpert
                             : update ? RunMode::kUpdate
                                      : RunMode::kForce);
    std::string line;
    for (int i = 0; i < argc_; ++i) line += (i > 0 ? " " : "") + std::string(argv_[i]);
    run.commandLine = MaskPassword(line);
    // A command line with a password is kept masked only, and cannot be
    // run again from the history.
    if (run.commandLine == line) run.arguments.emplace(argv_ + 1, argv_ + argc_);
    run.lockHeld = lockHeld;
    run.pid = getpid();
    ReadProcessStartTime(getpid(), &run.pidStart);
    run.bootId = ReadBootId();
    run.startedMs = HistoryNowMs();
  } catch (const std::exception&) {
    history_.NotRecorded("out of memory");
    return;
  }
  history_.Start(run);
}

void Run::RecordDigest() {
  if (!history_.Recording()) return;
  try {
    PristineArgDigest digest;
    char buffer[65536];
    ssize_t n;
    for (off_t at = 0; (n = ReadFully(view_.fd, buffer, sizeof(buffer), at)) > 0; at += n)
      digest.Update(buffer, static_cast<size_t>(n));
    if (n < 0) return;  // the digest stays unknown
    history_.SetDigest(digest.FinalHex());
  } catch (const std::exception&) {
    history_.NotRecorded("out of memory");
  }
}

bool Run::LockPackage() {
  if (argc_ > 2 && !autonomic) pArgFileName = argv_[2];
  lock_.emplace(runLockDir_);
  lockState_ = lock_->Take(pArgFileName, &lockWhy_);
  return lockState_ == RunLockState::kTaken ||
         lockState_ == RunLockState::kNoFile;
}

unsigned int Run::EndWithoutLock() {
  // Memory may run out here too; the run still ends without touching the
  // other run's files (no status, no clean-up), at worst without a log.
  try {
    OpenRunLogWithHeader(time(nullptr));
  } catch (const std::bad_alloc&) {
  }
  // Recorded as a run that did not hold the package: it marks no other
  // run interrupted, and is no package's last run.
  StartHistory(false);
  history_.End(EXECERROR_HandlerError, autonomic);
  if (lockState_ == RunLockState::kHeld)
    QREPORT(1, "ERROR : argument file \"%s%s%s\" is in use by another run of "
            "Quillon - nothing done", CurrentDir.c_str(), kSlash, pArgFileName);
  else
    QREPORT(1, "ERROR : the run lock of argument file \"%s%s%s\" cannot be "
            "taken: %s - nothing done", CurrentDir.c_str(), kSlash,
            pArgFileName, lockWhy_.c_str());
  PrintReturnCode(debugOutput_, EXECERROR_HandlerError);
  if (hLogFile != nullptr) fclose(hLogFile);
  hLogFile = nullptr;
  return EXECERROR_HandlerError;
}

void Run::OpenRunLogWithHeader(time_t startTime) {
  if (!autonomic || debug) {
    std::string why;
    hLogFile = OpenRunLog(&why);
    if (hLogFile == nullptr && !why.empty())
      QTRACE(1, "ERROR : run log \"%s%s%s\" %s - run goes on without it",
             CurrentDir.c_str(), kSlash, kRunLogName, why.c_str());
    WriteLogHeader(hLogFile, argc_, argv_, CurrentDir, startTime);
  }
}

void Run::StartRun() {
  const time_t startTime = time(nullptr);
  OpenRunLogWithHeader(startTime);
  // The commands' output goes where the run log goes; a file that cannot
  // be had leaves them /dev/null (reported by the writer, not in the log).
  if (!autonomic || debug) output_.Open(startTime);
  for (const std::string& warning : warnings_) {
    QTRACE(1, "%s", warning.c_str() + 1);
    QLOG("%s", warning.c_str() + 1);
  }
  SetExecStatus(3, 0);
  StartHistory(lockState_ == RunLockState::kTaken);
}

bool Run::OpenArgumentFile() {
  QREPORT(2, "Open argument file \"%s%s%s\"", CurrentDir.c_str(), kSlash,
          pArgFileName);
  std::string why;
  int error = OpenArgFile(pArgFileName, &view_, &why);
  if (error == 0) return true;
  if (!why.empty())
    QREPORT(1, "ERROR : argument file \"%s%s%s\" %s - refused",
            CurrentDir.c_str(), kSlash, pArgFileName, why.c_str());
  QTRACE(1, "ERROR 0x%X! FAILED to open argument file '%s'", error,
         pArgFileName);
  QLOG("open argument file '%s' returned error %d", pArgFileName, error);
  return false;
}

unsigned int Run::EndWithoutArgumentFile() {
  if (hLogFile != nullptr) fclose(hLogFile);
  hLogFile = nullptr;
  SetExecStatus(5, EXECERROR_HandlerError);
  history_.End(EXECERROR_HandlerError, autonomic);
  return EXECERROR_HandlerError;
}

void Run::PreparePackage() {
  if (devNullError_ != 0) {
    QREPORT(1, "ERROR : /dev/null could not be opened as standard input, "
            "output and error of the commands (errno %d) - nothing run",
            devNullError_);
    throw static_cast<unsigned int>(EXECERROR_HandlerError);
  }
  size_t size = 0;
  int error = StatArgFile(view_, &size);
  if (error != 0) {
    QREPORT(1, "ERROR %d getting filesize of px.arg", error);
    close(view_.fd);
    view_.fd = -1;
    throw static_cast<unsigned int>(EXECERROR_HandlerError);
  }
  QTRACE(2, "Create file mapping on file \"%s%s%s\"", CurrentDir.c_str(),
         kSlash, pArgFileName);
  error = MapArgFile(&view_, size);
  if (error != 0) {
    QTRACE(1, "ERROR 0x%X: mmap() failed!", error);
    QLOG("ERROR %u creating file view", error);
    throw static_cast<unsigned int>(EXECERROR_HandlerError);
  }
  RecordDigest();
  // Without trusted keys the check does nothing at all.
  PackageTrust trust(trustedKeysDir_);
  auto checkPackage = [&](const char* fwPath, bool staging) {
    if (!trust.Load()) throw static_cast<unsigned int>(EXECERROR_HandlerError);
    if (!trust.Enforced()) return;
    // Everything the run uses, before any of it is verified: the working
    // directory, the argument file, its directory and the execution
    // directory (with what they hold), and the package directory's tree.
    std::vector<PackageTrust::UsedPath> used{
        {CurrentDir, false},
        {pArgFileName, false},
        {DirectoryPart(pArgFileName), true},
        {pExecPath, true}};
    if (fwPath != nullptr && *fwPath != '\0') used.push_back({fwPath, true});
    taken_.emplace(stateDir_);
    if (!trust.CheckRootOnly(used))
      throw static_cast<unsigned int>(EXECERROR_HandlerError);
    // The signature is checked on a private copy, which the commands are
    // then taken from (see VerifiedText), never on the shared mapping.
    int unread = ReadArgFileCopy(view_, &verifiedText_);
    if (unread != 0) {
      QREPORT(1, "ERROR : package signature check: %s: cannot be read (%s)",
              pArgFileName, strerror(unread));
      throw static_cast<unsigned int>(EXECERROR_HandlerError);
    }
    const bool accepted =
        trust.CheckPackage(pArgFileName, verifiedText_.data(),
                           verifiedText_.size(), fwPath, cFileList, uFileCnt,
                           staging, &*taken_);
    // A signature that was checked names its signer, package accepted or not.
    if (!trust.SignerKeyId().empty())
      history_.SetSigner(trust.SignerKeyId(), trust.TrustedComment());
    if (!accepted) throw static_cast<unsigned int>(EXECERROR_HandlerError);
    view_.taken = &*taken_;
  };

  if (NoPreAndPost) {
    pExecPath = HeapCopy(argv_[1]);
    checkPackage(nullptr, false);
    return;
  }
  unsigned int r = ReadBasicParamsA(view_.text, view_.textEnd,
                                    CurrentDir.c_str(), debugOutput_);
  if (r != 0) {
    QTRACE(1, "ERROR %d reading basic parameters!", r);
    QLOG("ERROR %d reading basic parameters", r);
    throw static_cast<unsigned int>(EXECERROR_HandlerError);
  }
  if (autonomic) {
    pExecPath = HeapCopy(CurrentDir.c_str());
  } else {
    std::string argFile = argv_[2];
    size_t slash = argFile.rfind('/');
    pExecPath = HeapCopy(slash == std::string::npos
                             ? "./"
                             : argFile.substr(0, slash).c_str());
  }
  const char* fwPath = pFwPath ? pFwPath : "";
  QTRACE(1, "basic parameters:\nExecPath : %s\nFwPath : %s\nNumberOfFiles : "
         "%d\n", pExecPath, fwPath, uFileCnt);
  QLOG("basic parameters:\nExecPath : %s\nFwPath : %s\nNumberOfFiles : %d",
       pExecPath, fwPath, uFileCnt);
  checkPackage(pFwPath, !autonomic);
  if (autonomic) return;

  r = InitRunA(pExecPath, pFwPath, trust.ChecksStaging() ? &trust : nullptr);
  if (r != 0) {
    QTRACE(1, "ERROR %d copy files\n", r);
    QLOG("ERROR %d copy files", r);
    throw static_cast<unsigned int>(EXECERROR_HandlerError);
  }
  if (strcasecmp(CurrentDir.c_str(), pExecPath) != 0) {
    QREPORT(3, "current working directory is different from execution "
            "directory - change working directory to \"%s\"...", pExecPath);
    CProcess::SetCurrentDir(pExecPath);
    CProcess::GetCurrentDir(CurrentDir);
    QREPORT(3, "... working directory was changed to \"%s\"",
            CurrentDir.c_str());
  }
}

void Run::WaitForEarlierCommand() {
  CommandGroup group;
  if (!ReadGroupRecord(kGroupRecordName, &group)) return;
  if (CommandGroupRuns(group)) {
    QREPORT(1, "process group %d of an earlier run's command is still running "
            "- waiting for it to end before starting", static_cast<int>(group.pid));
    do {
      if (int sig = InterruptSignal()) {
        QREPORT(1, "ERROR : signal %d (%s) received while waiting for process "
                "group %d of an earlier run - run stopped, nothing started",
                sig, strsignal(sig), static_cast<int>(group.pid));
        throw static_cast<unsigned int>(EXECERROR_HandlerError);
      }
      // A stopping signal cuts the pause short.
      struct timespec pause = {0, 100 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    } while (CommandGroupRuns(group));
    QREPORT(2, "process group %d of the earlier run has ended",
            static_cast<int>(group.pid));
  }
  unlink(kGroupRecordName);
}

unsigned int Run::RunCommands() {
  WaitForEarlierCommand();
  QREPORT(2, "Start reading argument file \"%s%s%s\"", CurrentDir.c_str(),
          kSlash, pArgFileName);
  const char* secStart = EnterCommandSection(view_.text, view_.textEnd);
  // The section run: the mode's, or [Commands] after the expert fallback.
  history_.SetSection(SectionKey(expert   ? RunMode::kExpert
                                 : update ? RunMode::kUpdate
                                          : RunMode::kForce));
  VerifiedText verified;
  verified.mapping = view_.text;
  verified.copy = verifiedText_.data();
  verified.size = verifiedText_.size();
  SectionContext context;
  context.file = &view_;
  context.verified = verifiedText_.empty() ? nullptr : &verified;
  context.currentDir = CurrentDir;
  context.debugOutput = debugOutput_;
  if (output_.IsOpen()) context.output = &output_;
  if (history_.Recording()) context.history = &history_;
  unsigned int result =
      RunCommandSection(const_cast<char*>(secStart), view_.textEnd, context);
  ReleaseArgFile(&view_, true);
  return result;
}

unsigned int Run::Caught(unsigned int code) {
  QTRACE(2, "Caught error code %d", code);
  QLOG("caught exception %d", code);
  return code;
}

unsigned int Run::OutOfMemory() {
  // The status and the log belong in the working directory, also when
  // memory ran out before the run got there.
  EnterWorkingDirectoryWithoutMemory();
  QREPORT(1, "ERROR : out of memory while running argument file \"%s%s%s\" "
          "- run ends", CurrentDir.c_str(), kSlash, pArgFileName);
  return EXECERROR_NoMemory;
}

unsigned int Run::Finish(unsigned int runResult) {
  free(reserve_);
  reserve_ = nullptr;
  CompleteRun(runResult > 1 || autonomic);
  // After a raised code the descriptor stays open until the process ends.
  ReleaseArgFile(&view_, false);
  unsigned int finalCode = ComposeFinalCode(runResult);
  SetExecStatus(5, static_cast<int>(finalCode));
  history_.End(finalCode, autonomic);
  MarkRebootIfLeftUndone(finalCode, autonomic, rebootMarkerDir_, systemLog_);
  PrintReturnCode(debugOutput_, finalCode);
  QREPORT(2, QUILLON_LOG_FINAL_CODE, finalCode);
  CProcess::SetCurrentDir(InitialCurrentDir.c_str());
  if (hLogFile != nullptr) fclose(hLogFile);
  hLogFile = nullptr;
  return finalCode;
}
