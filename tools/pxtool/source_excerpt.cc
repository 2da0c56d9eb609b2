#include "source_excerpt.h"

#include <algorithm>
#include <cstdio>

namespace pxtool {

namespace {

// Bytes of the line shown around the column at most, and before it.
const size_t kWindow = 120, kBefore = 60;

// The byte `c` shown at display column `at` (0-based).
std::string Render(unsigned char c, size_t at) {
  if (c == '\t') return std::string(8 - at % 8, ' ');
  if (c == '\r') return "\\r";
  if (c < 0x20 || c > 0x7e) {
    char hex[8];
    snprintf(hex, sizeof(hex), "\\x%02X", c);
    return hex;
  }
  return std::string(1, static_cast<char>(c));
}

}  // namespace

std::string SourceExcerpt(std::string_view line, size_t number, size_t column) {
  size_t caret = column > 0 ? column - 1 : 0;  // the byte the caret is under
  size_t from = caret > kWindow - 20 ? caret - kBefore : 0;
  if (from > line.size()) from = line.size();
  size_t to = std::min(line.size(), from + kWindow);
  std::string shown = from > 0 ? "..." : "";
  size_t caretAt = std::string::npos;
  for (size_t i = from; i < to; ++i) {
    if (i == caret) caretAt = shown.size();
    shown += Render(static_cast<unsigned char>(line[i]), shown.size());
  }
  if (caretAt == std::string::npos) caretAt = shown.size();
  if (to < line.size()) shown += "...";
  char gutter[32];
  snprintf(gutter, sizeof(gutter), "%5zu", number);
  std::string blank(std::string(gutter).size(), ' ');
  return std::string(gutter) + " | " + shown + "\n" + blank + " | " +
         std::string(caretAt, ' ') + "^\n";
}

std::string_view TextLines::Line(size_t number) {
  while (number_ < number && start_ < text_.size()) {
    size_t lf = text_.find('\n', start_);
    start_ = lf == std::string_view::npos ? text_.size() : lf + 1;
    ++number_;
  }
  if (number_ < number || start_ >= text_.size()) return {};
  size_t lf = text_.find('\n', start_);
  size_t end = lf == std::string_view::npos ? text_.size() : lf;
  if (lf != std::string_view::npos && end > start_ && text_[end - 1] == '\r') --end;
  return text_.substr(start_, end - start_);
}

}  // namespace pxtool
