#include "pending_line.h"

LineMode ModeOfLines(bool force, bool update, bool expertFallback) {
  LineMode mode;
  mode.forcedRun = force || expertFallback;
  mode.updateRun = update && !expertFallback;
  return mode;
}

LineAction ActionOf(const CommandText& command, LineMode mode) {
  const bool other = command.OtherMode(mode.forcedRun, mode.updateRun);
  if (command.IsFlags())
    return other ? LineAction::kSkipFlags : LineAction::kTakeFlags;
  return other ? LineAction::kSkipCommand : LineAction::kRunCommand;
}

PendingLine ReadPendingLine(const char* text, size_t size,
                            const ExternalValues& values, LineMode mode) {
  PendingLine line;
  if (size < kCommandOffset) return line;
  line.command = ReadCommandText(text, size, values);
  line.action = ActionOf(line.command, mode);
  line.cannotStart = line.action == LineAction::kRunCommand &&
                     line.command.toRun.size() > kLongestCommand;
  return line;
}

const char* PendingLine::Why(const LineMode& mode) const {
  switch (action) {
    case LineAction::kPassOver:
      return "shorter than its six leading columns: passed over, unmarked";
    case LineAction::kSkipFlags:
      return mode.forcedRun ? "update prefix in a forced run: not taken, "
                              "the pending flags stay"
                            : "force prefix in an update run: not taken, "
                              "the pending flags stay";
    case LineAction::kSkipCommand:
      return mode.forcedRun
                 ? "update prefix in a forced run: not run, judged as 0"
                 : "force prefix in an update run: not run, judged as 0";
    case LineAction::kRunCommand:
      if (cannotStart)
        return "longer than the 131071 characters the kernel takes for one "
               "argument: the shell cannot be executed, it returns 127";
      return "";
    case LineAction::kTakeFlags:
      return "";
  }
  return "";
}
