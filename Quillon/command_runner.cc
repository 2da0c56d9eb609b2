#include "command_runner.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "arg_file.h"
#include "flags.h"
#include "interrupts.h"
#include "report.h"
#include "shell.h"
#include "talbot_codes.h"

namespace {

// Room added to each working buffer: one substitution of each external
// value (512 + 16 + 32) and a terminating zero.
const size_t kBufferSlack = 561;
const size_t kCommandOffset = 6;
const size_t kResultOffset = 2;

// Replaces the first `placeholder` in `text` (a buffer of `size` bytes) with
// `value`, or removes it when `value` is null. `spare` is a work buffer of
// the same size.
void Substitute(char* text, size_t size, char* spare, const char* placeholder,
                const char* value) {
  char* found = strstr(text, placeholder);
  if (found == nullptr) return;
  snprintf(spare, size, "%s", found + strlen(placeholder));
  size_t offset = static_cast<size_t>(found - text);
  snprintf(found, size - offset, "%s%s", value ? value : "", spare);
}

// Writes the return code into the line's result field: one or two digits
// padded with zeros to three, longer numbers cut to their first three.
void WriteResultField(char* line, unsigned int Sysret) {
  char digits[20];
  snprintf(digits, sizeof(digits), "%-d", static_cast<int>(Sysret));
  char field[4];
  size_t length = strlen(digits);
  if (length < 3)
    snprintf(field, sizeof(field), "%03d", static_cast<int>(Sysret));
  else
    memcpy(field, digits, 3);
  memcpy(line + kResultOffset, field, 3);
}

bool NamesInstaller(const char* command) {
  std::string upper(command);
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return upper.find("TALBOT") != std::string::npos;
}

// The kernel takes at most this many characters for one argument of a new
// program (MAX_ARG_STRLEN less the terminating zero); the command text is
// one argument of the shell.
const size_t kLongestCommand = 32 * 4096 - 1;

// Commands are shown in the trace and the run log up to this length; a
// longer one is cut and its full length noted, so that a huge command line
// does not flood the log.
const size_t kLongestShown = 4096;

std::string Shown(const char* command) {
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

}  // namespace

std::string MaskPassword(const char* command) {
  std::string masked(command);
  size_t at = masked.find("-pwd ");
  if (at == std::string::npos) return masked;
  for (size_t i = at + 5; i < masked.size() && masked[i] != ' '; ++i)
    masked[i] = '*';
  return masked;
}

int DoCommandA(char* line, size_t size, char* external_option,
               char* external_parameter, char* external_reset) {
  if (size < kCommandOffset) {
    QREPORT(1, "ERROR : pending command line \"%.*s\" in argument file \"%s\" "
            "is shorter than its six leading columns - passed over",
            static_cast<int>(size), line, pArgFileName);
    return 0;
  }
  const size_t bufferSize = size + kBufferSlack;
  std::unique_ptr<char[]> NextCmd(new (std::nothrow) char[bufferSize]());
  std::unique_ptr<char[]> RealCmd(new (std::nothrow) char[bufferSize]());
  std::unique_ptr<char[]> CmdEnd(new (std::nothrow) char[bufferSize]());
  if (!NextCmd || !RealCmd || !CmdEnd) {
    // A lack of memory is no verdict on the command: the run ends with the
    // memory error, the line stays pending for the next run.
    QTRACE(2, "Out of memory! Retcode: %d", EXECERROR_NoMemory);
    QREPORT(1, "ERROR : out of memory for a command line of %zu characters "
            "in argument file \"%s\" - line left pending, run ends", size,
            pArgFileName);
    throw static_cast<unsigned int>(EXECERROR_NoMemory);
  }

  memcpy(NextCmd.get(), line + kCommandOffset, size - kCommandOffset);
  if (Debug.IsEnabled())
    QTRACE(3, "Next command: %s", Shown(NextCmd.get()).c_str());

  // Mode prefix: five or six characters compared, one more removed. The
  // buffers are zero-filled well past the text, so skipping past a short
  // text reads an empty string.
  bool force_cmd = strncmp(NextCmd.get(), "force", 5) == 0;
  bool update_cmd = !force_cmd && strncmp(NextCmd.get(), "update", 6) == 0;
  const char* toRun = NextCmd.get() + (force_cmd ? 6 : update_cmd ? 7 : 0);
  snprintf(RealCmd.get(), bufferSize, "%s", toRun);

  std::string option = Bounded(external_option, EXTERNAL_OPTION_SIZE);
  std::string resetValue = Bounded(external_reset, EXTERNAL_RESET_SIZE);
  std::string parameter = Bounded(external_parameter, EXTERNAL_PARAMETER_SIZE);
  Substitute(RealCmd.get(), bufferSize, CmdEnd.get(), "!{EXTVAR}",
             externalOption ? option.c_str() : nullptr);
  Substitute(RealCmd.get(), bufferSize, CmdEnd.get(), "!{RESET}",
             reset ? resetValue.c_str() : nullptr);
  Substitute(RealCmd.get(), bufferSize, CmdEnd.get(), "!{PARAM}",
             externalParameter ? parameter.c_str() : nullptr);

  std::string shown;
  if (hLogFile != nullptr || Debug.IsEnabled()) {
    shown = Shown(RealCmd.get());
    QREPORT(2, "exec command <%s>", shown.c_str());
  }

  bool isFlags = strncmp(RealCmd.get(), "flag", 4) == 0;
  bool otherMode = (force_cmd && update) || (update_cmd && force);
  size_t length = strlen(RealCmd.get());
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
    if (!skipped) DoItYourselfCmdA(RealCmd.get() + 5);
  } else if (otherMode) {
    skipped = true;
    ret = checkFlags(0);
  } else {
    QTRACE(2, "Execute shell command \"%s\"", shown.c_str());
    int waitStatus = CurrentShell()->System(RealCmd.get());
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
    if (Sysret != 0 && NamesInstaller(RealCmd.get()))
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
