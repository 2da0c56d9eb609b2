#include "command_runner.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "arg_file.h"
#include "flags.h"
#include "interrupts.h"
#include "package_model.h"
#include "outcome_words.h"
#include "report.h"
#include "run_history.h"
#include "run_output_writer.h"
#include "shell.h"
#include "talbot_codes.h"

namespace {

// Writes the return code into the line's result field.
void WriteResultField(char* line, unsigned int Sysret) {
  memcpy(line + kResultOffset, ResultField(Sysret).data(), 3);
}

// Whether the command names the installer, in any case. Needs no copy of
// the command, so that a huge one costs no memory here.
bool NamesInstaller(const std::string& command) {
  static const char kName[] = "TALBOT";
  return std::search(command.begin(), command.end(), kName, kName + sizeof(kName) - 1,
                     [](char c, char upper) {
                       return toupper(static_cast<unsigned char>(c)) == upper;
                     }) != command.end();
}

// The masked copy of `text` that the trace and the run log show; false when
// there is no memory for it (the line is then not shown, the command still
// runs).
bool Masked(const std::string& text, std::string* shown) {
  try {
    *shown = MaskPassword(text);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

[[noreturn]] void RaiseHandlerError() {
  throw static_cast<unsigned int>(EXECERROR_HandlerError);
}

// A stopping signal has come before the mark of a pending line.
[[noreturn]] void StopBeforePendingLine(int sig) {
  QREPORT(1, "ERROR : signal %d (%s) received - run stopped before the next "
          "pending line of argument file \"%s\", which stays pending", sig,
          strsignal(sig), pArgFileName);
  RaiseHandlerError();
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

// Whether the mapped line at `line` (`size` characters, then the one before
// its LF and the LF) reads as the verified copy at `copy` does, but for its
// mark and result field, which runs write.
bool SameAsVerified(const char* line, const char* copy, size_t size) {
  for (size_t i = 0; i < size + 2; ++i) {
    const bool written = i == 0 || (i >= kResultOffset && i < kResultOffset + 3);
    if (!written && line[i] != copy[i]) return false;
  }
  return true;
}

// A line of the mapping at `at` is not the line that was verified.
[[noreturn]] void StopAtChangedLine(const VerifiedText& verified, const char* at) {
  const size_t offset = static_cast<size_t>(at - verified.mapping);
  const long number = 1 + std::count(verified.copy, verified.copy + offset, '\n');
  QREPORT(1, "ERROR : package signature check: %s: line %ld differs from "
          "the signed argument file - run stopped before it, the line "
          "stays pending", pArgFileName, number);
  RaiseHandlerError();
}

// Where a line stands, for the start line of its command's output.
struct LinePlace {
  const char* sectionKey = "";
  size_t number = 0;  // in the argument file; 0 when not known
};

// DoCommandA, with the line's text read from `text` (the line itself, or
// its verified copy) and its mark and result written at `line`, within
// `section` (its file, if any, takes the mark).
int TakeUpLine(char* line, const char* text, size_t size, char* external_option,
               char* external_parameter, char* external_reset,
               const SectionContext& section, const LinePlace& place);

}  // namespace

int DoCommandA(char* line, size_t size, char* external_option,
               char* external_parameter, char* external_reset) {
  return TakeUpLine(line, line, size, external_option, external_parameter,
                    external_reset, SectionContext(), LinePlace());
}

namespace {

int TakeUpLine(char* line, const char* text, size_t size, char* external_option,
               char* external_parameter, char* external_reset,
               const SectionContext& section, const LinePlace& place) {
  // What the line does, and its working copies, all had before the line is
  // marked: without memory for them the line stays pending and the walk
  // stops with 2 (8 in autonomic mode), as for any abort.
  PendingLine pending;
  std::string flagsText;
  try {
    pending = ReadPendingLine(
        text, size,
        RunExternalValues(external_option, external_parameter, external_reset),
        ModeOfLines(force, update, false));
    if (pending.action == LineAction::kTakeFlags)
      flagsText = pending.command.FlagsText();
  } catch (const std::bad_alloc&) {
    const int ret = autonomic ? 8 : 2;
    QTRACE(2, "Out of memory! Retcode: %d", ret);
    QLOG("ERROR : out of memory for a command line of %zu characters in "
         "argument file \"%s\" - line left pending, run ends with %d", size,
         pArgFileName, ret);
    return ret;
  }
  if (!pending.Marked()) {
    QREPORT(1, "ERROR : pending command line \"%.*s\" in argument file \"%s\" "
            "is shorter than its six leading columns - passed over",
            static_cast<int>(size), text, pArgFileName);
    return 0;
  }
  const CommandText& command = pending.command;
  // The masked copies only serve the trace and the run log: without memory
  // for them the command is not shown, and still runs.
  std::string shown;
  if (Debug.IsEnabled() && Masked(command.raw, &shown))
    QTRACE(3, "Next command: %s", shown.c_str());
  shown.clear();
  if ((hLogFile != nullptr || Debug.IsEnabled()) &&
      Masked(command.toRun, &shown))
    QREPORT(2, QUILLON_LOG_EXEC_COMMAND, shown.c_str());

  // From before the mark until the command's group is recorded, the
  // stopping signals are held back: one that came before the mark stops
  // the run with the line still pending, one that comes after it is passed
  // on to the command as soon as it has started.
  StopSignalsHeld held;
  if (int sig = held.Received()) StopBeforePendingLine(sig);
  int markError = MarkLineTaken(section.file, line);
  if (markError != 0) {
    // The mark may not be on disk: starting the command could run it a
    // second time after a power cut. It counts as taken and is not run.
    QREPORT(1, "ERROR : mark of command line in argument file \"%s\" could "
            "not be flushed to disk (errno %d) - command not started, run "
            "ends", pArgFileName, markError);
    RaiseHandlerError();
  }
  // A line that starts nothing lets a signal through at once: it stops the
  // run before the next pending line.
  if (pending.action != LineAction::kRunCommand) held.Release();
  // The command as the run log shows it, for the history and the output
  // file's start line; without memory for the masked copy, without text.
  std::string masked;
  if (section.history != nullptr || section.output != nullptr) {
    try {
      masked = shown.empty() ? MaskPassword(command.toRun) : shown;
    } catch (const std::bad_alloc&) {
      masked.clear();
    }
  }
  if (section.history != nullptr)
    section.history->LineTaken(static_cast<long long>(place.number), masked,
                               pending.action == LineAction::kRunCommand);

  unsigned int Sysret = 0;
  int ret = 0;
  switch (pending.action) {
    case LineAction::kPassOver:
    case LineAction::kSkipFlags:
      break;
    case LineAction::kTakeFlags:
      DoItYourselfCmdA(&flagsText[0], section.debugOutput);
      break;
    case LineAction::kSkipCommand:
      ret = checkFlags(pending.CodeJudged(Sysret));
      break;
    case LineAction::kRunCommand: {
      QTRACE(2, "Execute shell command \"%s\"", shown.c_str());
      ShellOutput output;
      const bool captured =
          section.output != nullptr &&
          section.output->BeginCommand(place.sectionKey, place.number, masked,
                                       &output);
      errno = 0;
      int waitStatus =
          captured ? CurrentShell()->SystemWithOutput(
                         command.toRun.c_str(), held.CommandMask(), &output)
                   : CurrentShell()->System(command.toRun.c_str(),
                                            held.CommandMask());
      int spawnError = errno;
      held.Release();  // the real shell has, once the group was recorded
      QTRACE(2, "shell command \"%s\" finished with return code %d",
             shown.c_str(), waitStatus);
      Sysret = DecodeWaitStatus(waitStatus);
      if (section.history != nullptr) section.history->LineReturned(Sysret);
      if (captured) section.output->EndCommand(Sysret);
      if (spawnError != 0)
        QREPORT(1, "ERROR : the shell could not be started for command <%s> "
                "(errno %d)", shown.c_str(), spawnError);
      std::string change = ArgFileChange(section.file);
      if (!change.empty()) {
        QTRACE(3, ". . . returned %u", Sysret);
        QLOG(QUILLON_LOG_RETURNED, Sysret);
        QREPORT(1, "ERROR : argument file \"%s\" %s while command <%s> ran - "
                "run stopped, result not written", pArgFileName,
                change.c_str(), shown.c_str());
        RaiseHandlerError();
      }
      if (int sig = InterruptSignal()) {
        QTRACE(3, ". . . returned %u", Sysret);
        QLOG(QUILLON_LOG_RETURNED, Sysret);
        WriteResultField(line, Sysret);
        QREPORT(1, "ERROR : signal %d (%s) received while command <%s> ran - "
                "%s, run ends", sig, strsignal(sig), shown.c_str(),
                InterruptCount() > 1
                    ? "a further signal killed its process group"
                    : "passed on to its process group, which has ended");
        RaiseHandlerError();
      }
      if (Sysret != 0 && NamesInstaller(command.toRun))
        QREPORT(2, "Talbot did return error code %u: %s!", Sysret,
                CTalbotErrorCodes::ErrorCodeToString(Sysret));
      ret = checkFlags(pending.CodeJudged(Sysret));
      break;
    }
  }

  if (section.history != nullptr)
    section.history->LineJudged(
        pending.action == LineAction::kTakeFlags ? "flags"
        : pending.action == LineAction::kSkipFlags ||
                pending.action == LineAction::kSkipCommand
            ? "skipped"
            : JudgementWords(ret, Sysret, autonomic),
        Sysret);
  if (pending.action == LineAction::kSkipFlags ||
      pending.action == LineAction::kSkipCommand) {
    QREPORT(3, QUILLON_LOG_SKIPPED, Sysret);
  } else {
    QTRACE(3, ". . . returned %u", Sysret);
    QLOG(QUILLON_LOG_RETURNED, Sysret);
  }
  WriteResultField(line, Sysret);
  QREPORT(2, QUILLON_LOG_EXECUTED, shown.c_str(), ret);
  return ret;
}

}  // namespace

const char* EnterCommandSection(const char* text, const char* end) {
  RunMode mode = expert   ? RunMode::kExpert
                 : update ? RunMode::kUpdate
                          : RunMode::kForce;
  SectionChoice section = ChooseSection(text, end, mode);
  const char* key = section.key;
  if (section.start != nullptr) {
    QTRACE(1, "Use command section '%s'", key);
    QLOG(QUILLON_LOG_SECTION, key);
  } else {
    QTRACE(1, "ERROR : Start key '%s' of command section not found!", key);
    QLOG("ERROR : Start key %s of command section not found", key);
    if (!expert) throw static_cast<unsigned int>(EXECERROR_HandlerError);
    key = section.StartKey();
    if (!section.UsesFallback()) {
      QTRACE(1, "ERROR : Expert mode fallback start key '%s' of command "
             "section not found!", key);
      QLOG("ERROR : Expert mode fallback start key %s of command section not "
           "found", key);
      throw static_cast<unsigned int>(EXECERROR_HandlerError);
    }
    QTRACE(1, "Use fallback command section '%s' for expert mode!", key);
    QLOG(QUILLON_LOG_FALLBACK_SECTION, key);
    force = true;
    expert = false;
  }
  return section.Start();
}

unsigned int RunCommandSection(char* secStart, char* end,
                               const SectionContext& section) {
  const VerifiedText* verified = section.verified;
  // Line numbers count from the file's start when the file is known (the
  // output file's start lines show them).
  SectionWalk walk(section.file != nullptr ? section.file->text : secStart,
                   secStart, end);
  // The key is the text at secStart up to its "]".
  std::string key;
  if (section.output != nullptr) {
    const char* close = static_cast<const char*>(
        memchr(secStart, ']', static_cast<size_t>(end - secStart)));
    if (close != nullptr && close - secStart < 32)
      key.assign(secStart, static_cast<size_t>(close + 1 - secStart));
  }
  LinePlace place;
  place.sectionKey = key.c_str();
  for (;;) {
    SectionLine line = walk.Next();
    switch (line.kind) {
      case SectionLine::kNoLines:
        return 0;  // the key's line is the last: no commands
      case SectionLine::kEnd:
        if (verified != nullptr &&
            verified->copy[line.begin - verified->mapping] != '[')
          StopAtChangedLine(*verified, line.begin);
        QREPORT(2, "Finished reading argument file \"%s%s%s\"",
                section.currentDir.c_str(), "/", pArgFileName);
        return 0;
      case SectionLine::kCorrupted:
        QTRACE(1, "ERROR : Corrupted arg file!");
        QLOG("ERROR : corrupted arg file");
        RaiseHandlerError();
      case SectionLine::kPassedOver:
        break;
      case SectionLine::kPending: {
        if (int sig = InterruptSignal()) StopBeforePendingLine(sig);
        char* at = secStart + (line.begin - secStart);
        const char* text = at;
        if (verified != nullptr) {
          text = verified->copy + (at - verified->mapping);
          if (!SameAsVerified(at, text, line.size)) StopAtChangedLine(*verified, at);
        }
        place.number = section.file != nullptr ? line.number : 0;
        int result = TakeUpLine(at, text, line.size, externalOptionBuffer,
                                externalParameterBuffer, externalResetBuffer,
                                section, place);
        if (result != 0) return static_cast<unsigned int>(result);
        break;
      }
    }
  }
}
