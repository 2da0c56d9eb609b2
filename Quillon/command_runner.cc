#include "command_runner.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "arg_file.h"
#include "package_model.h"
#include "flags.h"
#include "interrupts.h"
#include "report.h"
#include "shell.h"
#include "talbot_codes.h"

namespace {

// Writes the return code into the line's result field.
void WriteResultField(char* line, unsigned int Sysret) {
  memcpy(line + kResultOffset, ResultField(Sysret).data(), 3);
}

bool NamesInstaller(const std::string& command) {
  std::string upper(command);
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return upper.find("TALBOT") != std::string::npos;
}

// Commands are shown in the trace and the run log up to this length; a
// longer one is cut and its full length noted, so that a huge command line
// does not flood the log.
const size_t kLongestShown = 4096;

std::string Shown(const std::string& command) {
  std::string masked = MaskPassword(command);
  if (masked.size() <= kLongestShown) return masked;
  size_t length = masked.size();
  masked.resize(kLongestShown);
  return masked + "... [" + std::to_string(length) + " characters]";
}

[[noreturn]] void RaiseHandlerError() {
  throw static_cast<unsigned int>(EXECERROR_HandlerError);
}

// A value bounded by its buffer, so that a substitution always fits.
std::string Bounded(const char* value, size_t bufferSize) {
  return value ? std::string(value, strnlen(value, bufferSize - 1))
               : std::string();
}

// The placeholders' values as the run has them: the switches of the command
// line and the runner's three buffers.
ExternalValues RunExternalValues(const char* option, const char* parameter,
                                 const char* resetValue) {
  ExternalValues values;
  values.option = externalOption;
  values.reset = reset;
  values.parameter = externalParameter;
  values.optionValue = Bounded(option, EXTERNAL_OPTION_SIZE);
  values.resetValue = Bounded(resetValue, EXTERNAL_RESET_SIZE);
  values.parameterValue = Bounded(parameter, EXTERNAL_PARAMETER_SIZE);
  return values;
}

}  // namespace

int DoCommandA(char* line, size_t size, char* external_option,
               char* external_parameter, char* external_reset) {
  if (size < kCommandOffset) {
    QREPORT(1, "ERROR : pending command line \"%.*s\" in argument file \"%s\" "
            "is shorter than its six leading columns - passed over",
            static_cast<int>(size), line, pArgFileName);
    return 0;
  }
  // The line's working copies, all made before the line is marked: without
  // memory for them the line stays pending and the walk stops with 2 (8 in
  // autonomic mode), as for any abort.
  CommandText command;
  std::string flagsText;
  bool isFlags, otherMode, namesInstaller;
  try {
    command = ReadCommandText(
        line, size,
        RunExternalValues(external_option, external_parameter, external_reset));
    isFlags = command.IsFlags();
    otherMode = command.OtherMode(force, update);
    if (isFlags && !otherMode) flagsText = command.FlagsText();
    namesInstaller = !isFlags && NamesInstaller(command.toRun);
  } catch (const std::bad_alloc&) {
    const int ret = autonomic ? 8 : 2;
    QTRACE(2, "Out of memory! Retcode: %d", ret);
    QLOG("ERROR : out of memory for a command line of %zu characters in "
         "argument file \"%s\" - line left pending, run ends with %d", size,
         pArgFileName, ret);
    return ret;
  }
  // The masked copies only serve the trace and the run log: without memory
  // for them the command is not shown, and still runs.
  std::string shown;
  try {
    if (Debug.IsEnabled())
      QTRACE(3, "Next command: %s", Shown(command.raw).c_str());
  } catch (const std::bad_alloc&) {
  }
  try {
    if (hLogFile != nullptr || Debug.IsEnabled()) {
      shown = Shown(command.toRun);
      QREPORT(2, "exec command <%s>", shown.c_str());
    }
  } catch (const std::bad_alloc&) {
    shown.clear();
  }

  size_t length = command.toRun.size();
  if (!isFlags && !otherMode && length > kLongestCommand) {
    QREPORT(1, "ERROR : command of %zu characters in argument file \"%s\" is "
            "longer than the %zu characters the kernel takes for one "
            "argument - not started, line left pending, run ends", length,
            pArgFileName, kLongestCommand);
    RaiseHandlerError();
  }

  int markError = MarkLineTaken(line);
  if (markError != 0) {
    // The mark may not be on disk: starting the command could run it a
    // second time after a power cut. It counts as taken and is not run.
    QREPORT(1, "ERROR : mark of command line in argument file \"%s\" could "
            "not be flushed to disk (errno %d) - command not started, run "
            "ends", pArgFileName, markError);
    RaiseHandlerError();
  }

  unsigned int Sysret = 0;
  int ret = 0;
  bool skipped = false;
  if (isFlags) {
    skipped = otherMode;
    if (!skipped) DoItYourselfCmdA(&flagsText[0]);
  } else if (otherMode) {
    skipped = true;
    ret = checkFlags(0);
  } else {
    QTRACE(2, "Execute shell command \"%s\"", shown.c_str());
    int waitStatus = CurrentShell()->System(command.toRun.c_str());
    int spawnError = waitStatus == -1 ? errno : 0;
    QTRACE(2, "shell command \"%s\" finished with return code %d",
           shown.c_str(), waitStatus);
    Sysret = DecodeWaitStatus(waitStatus);
    if (spawnError != 0)
      QREPORT(1, "ERROR : the shell could not be started for command <%s> "
              "(errno %d)", shown.c_str(), spawnError);
    std::string change = ArgFileChange();
    if (!change.empty()) {
      QTRACE(3, ". . . returned %u", Sysret);
      QLOG(" . . . returned %u", Sysret);
      QREPORT(1, "ERROR : argument file \"%s\" %s while command <%s> ran - "
              "run stopped, result not written", pArgFileName, change.c_str(),
              shown.c_str());
      RaiseHandlerError();
    }
    if (int sig = InterruptSignal()) {
      QTRACE(3, ". . . returned %u", Sysret);
      QLOG(" . . . returned %u", Sysret);
      WriteResultField(line, Sysret);
      QREPORT(1, "ERROR : signal %d (%s) received while command <%s> ran - "
              "%s, run ends", sig, strsignal(sig), shown.c_str(),
              InterruptCount() > 1
                  ? "a further signal killed its process group"
                  : "passed on to its process group, which has ended");
      RaiseHandlerError();
    }
    if (Sysret != 0 && namesInstaller)
      QREPORT(2, "Talbot did return error code %u: %s!", Sysret,
              CTalbotErrorCodes::ErrorCodeToString(Sysret));
    ret = checkFlags(Sysret);
  }

  if (skipped) {
    QREPORT(3, " . . . skipped %u", Sysret);
  } else {
    QTRACE(3, ". . . returned %u", Sysret);
    QLOG(" . . . returned %u", Sysret);
  }
  WriteResultField(line, Sysret);
  QREPORT(2, "Executed command: \"%s\" Retcode: %d", shown.c_str(), ret);
  return ret;
}

unsigned int RunCommandSection(char* secStart, char* end,
                               const std::string& currentDir) {
  // Line numbers are not needed here: the walk starts counting at the key.
  SectionWalk walk(secStart, secStart, end);
  for (;;) {
    SectionLine line = walk.Next();
    switch (line.kind) {
      case SectionLine::kNoLines:
        return 0;  // the key's line is the last: no commands
      case SectionLine::kEnd:
        QREPORT(2, "Finished reading argument file \"%s%s%s\"",
                currentDir.c_str(), "/", pArgFileName);
        return 0;
      case SectionLine::kCorrupted:
        QTRACE(1, "ERROR : Corrupted arg file!");
        QLOG("ERROR : corrupted arg file");
        RaiseHandlerError();
      case SectionLine::kPassedOver:
        break;
      case SectionLine::kPending: {
        if (int sig = InterruptSignal()) {
          QREPORT(1, "ERROR : signal %d (%s) received - run stopped before "
                  "the next pending line of argument file \"%s\", which "
                  "stays pending", sig, strsignal(sig), pArgFileName);
          RaiseHandlerError();
        }
        int result = DoCommandA(secStart + (line.begin - secStart), line.size,
                                externalOptionBuffer, externalParameterBuffer,
                                externalResetBuffer);
        if (result != 0) return static_cast<unsigned int>(result);
        break;
      }
    }
  }
}
