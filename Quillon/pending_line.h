// What a pending command line does, as one answer that the run carries out
// and that pxtool's plan and check explain: passed over, flags taken, a
// command skipped in this mode, or a command to run with its text; and
// which return code its judgement compares. Part of the package model: a
// pure function of the line, the values for the placeholders and the mode.
//
// The run (command_runner.cc) does what the answer says in its own order:
// it logs the command, marks the line, then takes the flags or runs the
// command, judges the code and writes the result field.

#ifndef QUILLON_PENDING_LINE_H_
#define QUILLON_PENDING_LINE_H_

#include <cstddef>

#include "command_text.h"

// Which mode prefixes a run passes over. The expert fallback runs
// "[Commands]" as a forced run; an expert run passes over nothing.
struct LineMode {
  bool forcedRun = true;
  bool updateRun = false;
};

// The mode a run reads its section's lines in: by its -force and -update
// switches, except that the expert fallback reads "[Commands]" as a forced
// run (the run then sets `force` and clears `expert`).
LineMode ModeOfLines(bool force, bool update, bool expertFallback);

enum class LineAction {
  kPassOver,     // shorter than its six leading columns: reported, unmarked
  kTakeFlags,    // a flags line: its flags replace the pending ones
  kSkipFlags,    // a flags line of the other mode: the pending flags stay
  kSkipCommand,  // a command of the other mode: not run, judged as 0
  kRunCommand,   // run through the shell, judged by its return code
};

struct PendingLine {
  LineAction action = LineAction::kPassOver;
  CommandText command;  // all but kPassOver
  // kRunCommand: longer than the kernel takes for one argument, so the
  // shell cannot be executed and returns 127, whatever the command is.
  bool cannotStart = false;

  // Whether the line is marked taken before anything else happens to it.
  bool Marked() const { return action != LineAction::kPassOver; }
  // Whether it consumes the pending flags with a judgement.
  bool Judged() const {
    return action == LineAction::kSkipCommand ||
           action == LineAction::kRunCommand;
  }
  // The return code the judgement compares, given what the shell returned
  // (a skipped command is judged as 0).
  unsigned int CodeJudged(unsigned int returned) const {
    return action == LineAction::kSkipCommand ? 0 : returned;
  }
  // Why a line is passed over, skipped, or cannot start, in words; "" for
  // the others.
  const char* Why(const LineMode& mode) const;
};

// The answer for the pending line of `size` characters at `text` (as the
// section walk hands it over). May throw std::bad_alloc.
PendingLine ReadPendingLine(const char* text, size_t size,
                            const ExternalValues& values, LineMode mode);

// The action for a command text already read, in `mode`.
LineAction ActionOf(const CommandText& command, LineMode mode);

#endif  // QUILLON_PENDING_LINE_H_
