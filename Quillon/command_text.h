// The text of a pending command line as the run reads it: the columns, the
// mode prefix, the placeholders, the masked password and the result field.
// Part of the package model (package_model.h).

#ifndef QUILLON_COMMAND_TEXT_H_
#define QUILLON_COMMAND_TEXT_H_

#include <cstddef>
#include <string>

// --- Command lines ----------------------------------------------------------

// Offsets of a pending command line's columns.
const size_t kResultOffset = 2;
const size_t kCommandOffset = 6;

// The longest command text the shell can be executed with: the kernel takes
// at most this many characters for one argument of a new program
// (MAX_ARG_STRLEN less the terminating zero), and the command text is one
// argument of the shell. A longer command is marked and handed over like
// any other, but the shell is not executed: it returns 127, as system()
// reports a shell that cannot be executed.
const size_t kLongestCommand = 32 * 4096 - 1;

// Values given on the command line for the placeholders, as the run keeps
// them (already cleaned and bounded).
struct ExternalValues {
  bool option = false;     // -external-variable given: !{EXTVAR}
  bool reset = false;      // -reset given (and not its marker): !{RESET}
  bool parameter = false;  // -external-parameter given: !{PARAM}
  std::string optionValue, resetValue, parameterValue;
};

// The placeholders, in the order they are put in: each replaces its first
// occurrence only; a second one stays in the command literally.
const char* const kPlaceholders[] = {"!{EXTVAR}", "!{RESET}", "!{PARAM}"};

struct CommandText {
  std::string raw;            // from column 7, up to `size` or a zero byte
  bool forcePrefix = false;   // "force" and one separator
  bool updatePrefix = false;  // "update" and one separator
  std::string toRun;          // without the prefix, placeholders put in
  bool IsFlags() const { return toRun.compare(0, 4, "flag") == 0; }
  // The flags text: after "flag" and one separator.
  std::string FlagsText() const {
    return toRun.size() > 5 ? toRun.substr(5) : std::string();
  }
  // A line the run passes over in a run of the other mode (expert runs
  // pass over nothing).
  bool OtherMode(bool forcedRun, bool updateRun) const {
    return (forcePrefix && updateRun) || (updatePrefix && forcedRun);
  }
};

// The command text of a pending line of `size` characters (as SectionLine
// gives it). REQUIRES: size >= kCommandOffset. May throw std::bad_alloc.
CommandText ReadCommandText(const char* line, size_t size,
                            const ExternalValues& values);

// `command` with every character of the word after the first "-pwd " (up to
// the next blank or the end) replaced by an asterisk.
std::string MaskPassword(const std::string& command);

// The result field as the run writes it: one or two digits padded to three,
// longer numbers cut to their first three ("%-d" of the value as int).
std::string ResultField(unsigned int rc);

#endif  // QUILLON_COMMAND_TEXT_H_
