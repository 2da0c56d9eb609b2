// The layout "pxtool fmt" gives an argument file: CR LF line ends, and the
// columns of every command line at their documented widths (docs/formats.md:
// the mark in column 1, the three-character result field in columns 3 to 5,
// the command text from column 7), so that the run reads the command text
// its author wrote.
//
// A pure function of the bytes: nothing here reads or writes a file. The
// command text of a line is never changed, only moved to column 7; a line
// whose columns cannot be told apart is left as it is and listed. The text
// from the first zero byte on, which a run never reads, is kept as it is.

#ifndef TOOLS_PXTOOL_ARG_FILE_FORMAT_H_
#define TOOLS_PXTOOL_ARG_FILE_FORMAT_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pxtool {

// How the columns of a command line (one that begins with the mark "0" or
// "1") were written.
struct CommandColumns {
  enum Kind {
    // The mark, a separator, a result field as a run writes it (three
    // digits, or "-" and two), a separator: the command text is from
    // column 7, as the run reads it.
    kInPlace,
    // The mark, blanks, one to three digits and one blank before the
    // command text, but not at those columns: the run reads another text
    // from column 7 than the one written, or a result field that is not
    // three digits.
    kShifted,
    // Neither: where the result field ends and the command text begins
    // cannot be told (no result field, more than three digits, no blank
    // after them, no command text, or columns a run could read as they are
    // with another command text).
    kAmbiguous,
  } kind = kAmbiguous;
  std::string_view field;  // kShifted: the digits of the result field
  std::string_view text;   // kInPlace, kShifted: the command text written
  const char* why = "";    // kAmbiguous: why, in words
};

// The columns of `line`, a command line without its line end (its LF and a
// CR before it). REQUIRES: the line begins with "0" or "1".
CommandColumns ReadCommandColumns(std::string_view line);

// A shifted line with its columns in place: the mark, a blank, the digits
// padded to three with leading zeros, a blank, the command text.
std::string PlacedCommandLine(char mark, const CommandColumns& columns);

// One command line of the text, by its 1-based number, without its line
// end.
struct LineChange {
  size_t line = 0;
  std::string before;
  std::string after;  // columns: the line as formatted; leftAlone: empty
  std::string why;    // leftAlone: why it cannot be formatted
};

struct FormattedText {
  std::string text;             // the formatted bytes
  size_t lineEndsConverted = 0;  // LF-only line ends given their CR
  size_t firstLineEnd = 0;       // the line of the first of them (1-based)
  std::vector<LineChange> columns;    // command lines whose columns moved
  std::vector<LineChange> leftAlone;  // command lines that are ambiguous
  bool Changed() const { return lineEndsConverted > 0 || !columns.empty(); }
};

// Formats an argument file. The command lines are the lines that begin
// with "0" or "1" in a command section: from the line after a line that
// begins with "[Commands]", "[UpdCommands]" or "[ExpCommands]", or after the
// line where a run finds the key (ChooseSection: its first occurrence as
// plain text), up to the next line that begins with "[". Every LF that has
// no CR before it gets one. Idempotent: formatting the result changes
// nothing. Time and memory linear in the text.
FormattedText FormatArgumentText(std::string_view text);

}  // namespace pxtool

#endif  // TOOLS_PXTOOL_ARG_FILE_FORMAT_H_
