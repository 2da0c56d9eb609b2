// The source line under a text diagnostic, as compilers show it: the line
// with its number in a gutter, and a caret under the column.
//
//   examples/traps/pkg/px.arg:44:3: error: ... [command-column-shifted]
//      44 | 0 00 sh install.sh eleven
//         |   ^
//
// Bytes a terminal would not show as one column are written so that the
// caret still lines up: a tab as blanks up to the next multiple of eight, a
// CR as "\r", any other control byte and every byte above 0x7e as "\xNN".
// A long line is shown as a window around the column, cut with "...".

#ifndef TOOLS_PXTOOL_SOURCE_EXCERPT_H_
#define TOOLS_PXTOOL_SOURCE_EXCERPT_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace pxtool {

// The two lines shown for line `number` of a text, `line` (without its
// line end), and the 1-based byte `column` (one past the end: after the
// last byte). Each ends in a line feed.
std::string SourceExcerpt(std::string_view line, size_t number, size_t column);

// The lines of a text, looked up in ascending order in one pass.
class TextLines {
 public:
  explicit TextLines(std::string_view text) : text_(text) {}
  // Line `number` (1-based) without its LF and a CR before it; empty past
  // the last line. REQUIRES: numbers asked in ascending order.
  std::string_view Line(size_t number);

 private:
  std::string_view text_;
  size_t start_ = 0;  // where line `number_` begins
  size_t number_ = 1;
};

}  // namespace pxtool

#endif  // TOOLS_PXTOOL_SOURCE_EXCERPT_H_
