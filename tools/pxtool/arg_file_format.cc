#include "arg_file_format.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "package_model.h"

namespace pxtool {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return isdigit(static_cast<unsigned char>(c)) != 0; }

// A result field as the run writes it (ResultField): three digits, or a
// negative number's "-" and two digits.
bool IsRunField(std::string_view field) {
  return field.size() == 3 && (IsDigit(field[0]) || field[0] == '-') &&
         IsDigit(field[1]) && IsDigit(field[2]);
}

CommandColumns Ambiguous(const char* why) {
  CommandColumns columns;
  columns.why = why;
  return columns;
}

bool StartsWith(std::string_view line, const char* key) {
  return line.compare(0, strlen(key), key) == 0;
}

}  // namespace

CommandColumns ReadCommandColumns(std::string_view line) {
  CommandColumns columns;
  const size_t n = line.size();
  if (n >= kCommandOffset && IsBlank(line[1]) && IsBlank(line[kResultOffset + 3]) &&
      IsRunField(line.substr(kResultOffset, 3))) {
    columns.kind = CommandColumns::kInPlace;
    columns.text = line.substr(kCommandOffset);
    return columns;
  }
  // The columns as a person reads them: the mark, blanks, the digits of the
  // result field and one blank.
  size_t digits = 1;
  while (digits < n && IsBlank(line[digits])) ++digits;
  if (digits == 1) return Ambiguous("no blank after the mark");
  size_t end = digits;
  while (end < n && IsDigit(line[end])) ++end;
  if (end == digits) return Ambiguous("no result field (three digits) after the mark");
  if (end - digits > 3) return Ambiguous("a result field of more than three digits");
  if (end == n || (end + 1 == n && IsBlank(line[end])))
    return Ambiguous("no command text after the result field");
  if (!IsBlank(line[end])) return Ambiguous("no blank after the result field");
  columns.field = line.substr(digits, end - digits);
  columns.text = line.substr(end + 1);
  // Separators where the run expects them make its reading one a person
  // could have meant too: it must be the same text.
  if (n >= kCommandOffset && IsBlank(line[1]) && IsBlank(line[kResultOffset + 3]) &&
      line.substr(kCommandOffset) != columns.text)
    return Ambiguous("the text from column 7 and the text after the digits differ, and "
                     "either could be the command");
  columns.kind = CommandColumns::kShifted;
  return columns;
}

std::string PlacedCommandLine(char mark, const CommandColumns& columns) {
  std::string line(1, mark);
  line += ' ';
  line.append(3 - columns.field.size(), '0');
  line.append(columns.field);
  line += ' ';
  line.append(columns.text);
  return line;
}

FormattedText FormatArgumentText(std::string_view text) {
  FormattedText out;
  const char* begin = text.data();
  const char* end = TextEnd(begin, text.size());
  // Where the runs' sections begin: the line after their key's first
  // occurrence.
  std::vector<const char*> runStarts;
  for (RunMode mode : {RunMode::kForce, RunMode::kUpdate, RunMode::kExpert}) {
    const char* key = ChooseSection(begin, end, mode).start;
    const char* lf = key ? FindLineFeed(key, end) : nullptr;
    if (lf != nullptr) runStarts.push_back(lf + 1);
  }
  out.text.reserve(text.size() + text.size() / 16);
  bool inSection = false, headerBefore = false;
  size_t number = 0;
  for (const char* line = begin; line < end;) {
    ++number;
    const char* lf = FindLineFeed(line, end);
    const char* lineEnd = lf ? lf : end;
    bool bareLf = lf != nullptr && (lf == begin || lf[-1] != '\r');
    const char* contentEnd = lf && !bareLf ? lf - 1 : lineEnd;
    std::string_view content(line, static_cast<size_t>(contentEnd - line));
    bool starts = headerBefore ||
                  std::find(runStarts.begin(), runStarts.end(), line) != runStarts.end();
    headerBefore = false;
    if (!content.empty() && content[0] == '[') {
      inSection = false;
      for (RunMode mode : {RunMode::kForce, RunMode::kUpdate, RunMode::kExpert})
        headerBefore = headerBefore || StartsWith(content, SectionKey(mode));
    } else if (starts) {
      inSection = true;
    }
    std::string placed;
    if (inSection && !content.empty() && (content[0] == '0' || content[0] == '1')) {
      CommandColumns columns = ReadCommandColumns(content);
      if (columns.kind == CommandColumns::kShifted) {
        placed = PlacedCommandLine(content[0], columns);
        out.columns.push_back({number, std::string(content), placed, ""});
      } else if (columns.kind == CommandColumns::kAmbiguous) {
        out.leftAlone.push_back({number, std::string(content), "", columns.why});
      }
    }
    out.text.append(placed.empty() ? content : std::string_view(placed));
    if (lf != nullptr) {
      if (bareLf && ++out.lineEndsConverted == 1) out.firstLineEnd = number;
      out.text.append("\r\n");
    }
    line = lf ? lf + 1 : end;
  }
  out.text.append(end, static_cast<size_t>(text.data() + text.size() - end));
  return out;
}

}  // namespace pxtool
