// Fuzzes the package checker behind "pxtool check" on arbitrary argument
// files: the whole input is the argument file, zero bytes included.
//
// The package directory is a scratch directory holding a few package files
// (plain, scrambled, method-3, bare trailer) below "files"; inputs whose
// FWPATH= value names a path with a "/" or one that begins with "." are
// skipped, so that the checker lists nothing outside the scratch directory.
//
// Checked after every input: the diagnostics are sorted by line and
// column, never twice the same, each names a known rule with its severity,
// and each position lies inside the text (a line that exists, a column at
// most one past its end); a limit of half of them keeps the first half and
// counts them all.
//
// The same input is formatted as "pxtool fmt" does (arg_file_format.h):
// formatting is idempotent, keeps every line but the command lines it
// lists (their command text unchanged, now from column 7), leaves no line
// end without its CR, and the checker finds neither a bare LF nor shifted
// columns in the result.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>

#include "arg_file_format.h"
#include "checker.h"
#include "fuzz_support.h"

namespace {

quillon_fuzz::RecordingShell g_shell;
std::string g_packageDir;

void Write(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(path.c_str(), "wbe");
  if (f == nullptr) exit(2);
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

// FWPATH= values that could lead the directory listing out of the scratch
// directory.
bool LeavesScratchDir(const std::string& text) {
  for (size_t at = text.find("FWPATH="); at != std::string::npos;
       at = text.find("FWPATH=", at + 1)) {
    size_t end = text.find('\n', at);
    std::string value = text.substr(at + 7, end == std::string::npos ? end : end - at - 7);
    if (value.find('/') != std::string::npos || (!value.empty() && value[0] == '.'))
      return true;
  }
  return false;
}

// The lines of the text a run reads, without their line ends.
std::vector<std::string_view> LinesOf(std::string_view text) {
  std::vector<std::string_view> lines;
  text = text.substr(0, text.find('\0'));
  for (size_t at = 0; at < text.size();) {
    size_t lf = text.find('\n', at);
    size_t end = lf == std::string_view::npos ? text.size() : lf;
    size_t stop = lf != std::string_view::npos && end > at && text[end - 1] == '\r' ? end - 1 : end;
    lines.push_back(text.substr(at, stop - at));
    at = end + (lf == std::string_view::npos ? 0 : 1);
  }
  return lines;
}

void CheckFormatter(pxtool::CheckInput input) {
  pxtool::FormattedText once = pxtool::FormatArgumentText(input.text);
  pxtool::FormattedText twice = pxtool::FormatArgumentText(once.text);
  FUZZ_CHECK(twice.text == once.text && !twice.Changed());
  FUZZ_CHECK(twice.leftAlone.size() == once.leftAlone.size());

  std::vector<std::string_view> before = LinesOf(input.text), after = LinesOf(once.text);
  FUZZ_CHECK(before.size() == after.size());
  size_t moved = 0;
  for (size_t i = 0; i < before.size(); ++i) {
    if (moved < once.columns.size() && once.columns[moved].line == i + 1) {
      const pxtool::LineChange& change = once.columns[moved++];
      FUZZ_CHECK(change.before == before[i] && change.after == after[i]);
      pxtool::CommandColumns was = pxtool::ReadCommandColumns(before[i]);
      pxtool::CommandColumns is = pxtool::ReadCommandColumns(after[i]);
      FUZZ_CHECK(was.kind == pxtool::CommandColumns::kShifted &&
                 is.kind == pxtool::CommandColumns::kInPlace && was.text == is.text);
    } else {
      FUZZ_CHECK(before[i] == after[i]);
    }
  }
  FUZZ_CHECK(moved == once.columns.size());
  std::string_view read(once.text.data(), std::min(once.text.size(), once.text.find('\0')));
  for (size_t lf = read.find('\n'); lf != std::string_view::npos; lf = read.find('\n', lf + 1))
    FUZZ_CHECK(lf > 0 && read[lf - 1] == '\r');

  input.text = once.text;
  if (LeavesScratchDir(input.text)) return;
  for (const pxtool::Diagnostic& d : pxtool::CheckArgumentText(input).diagnostics)
    FUZZ_CHECK(d.rule != "bare-line-feed" && d.rule != "command-column-shifted");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_packageDir = quillon_fuzz::EnterSandbox(&g_shell);
  std::string files = g_packageDir + "/files";
  if (mkdir(files.c_str(), 0700) != 0) exit(2);
  Write(files + "/install.sh", "exit 0\n");
  Write(files + "/greeting.txt", std::string("\x84\x56\xc6\xc6", 4) + "#PELK_ROW#");
  Write(files + "/method3.bin", "x#MIRA_DOV#");
  Write(files + "/bare.bin", "#PELK_ROW#");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pxtool::CheckInput input;
  input.text.assign(reinterpret_cast<const char*>(data), size);
  if (LeavesScratchDir(input.text)) return 0;
  input.argPath = "px.arg";
  input.packageDir = g_packageDir;
  input.execDir = "pkg";
  pxtool::CheckResult all = pxtool::CheckArgumentText(input);
  const std::vector<pxtool::Diagnostic>& found = all.diagnostics;
  FUZZ_CHECK(all.Total() == found.size());

  // Line starts, as the diagnostics count lines.
  std::vector<size_t> starts{0};
  for (size_t i = 0; i < size; ++i)
    if (data[i] == '\n') starts.push_back(i + 1);
  for (size_t i = 0; i < found.size(); ++i) {
    const pxtool::Diagnostic& d = found[i];
    const pxtool::Rule* rule = pxtool::FindRule(d.rule);
    FUZZ_CHECK(rule != nullptr && (rule->severity == d.severity ||
                                   d.rule == "section-name-misspelt"));
    FUZZ_CHECK(!d.message.empty());
    FUZZ_CHECK(d.line >= 1 && d.line <= starts.size());
    size_t lineEnd = d.line < starts.size() ? starts[d.line] - 1 : size;
    FUZZ_CHECK(d.column >= 1 && starts[d.line - 1] + d.column - 1 <= lineEnd);
    if (i > 0) {
      const pxtool::Diagnostic& b = found[i - 1];
      FUZZ_CHECK(std::tie(b.line, b.column, b.rule, b.message) <
                 std::tie(d.line, d.column, d.rule, d.message));
    }
  }

  size_t keep = found.size() / 2;
  pxtool::CheckResult some = pxtool::CheckArgumentText(input, keep);
  FUZZ_CHECK(some.diagnostics.size() == keep);
  for (int s = 0; s < 3; ++s) FUZZ_CHECK(some.counts[s] == all.counts[s]);
  for (size_t i = 0; i < keep; ++i) {
    const pxtool::Diagnostic& a = found[i];
    const pxtool::Diagnostic& b = some.diagnostics[i];
    FUZZ_CHECK(a.line == b.line && a.column == b.column && a.rule == b.rule &&
               a.message == b.message);
  }
  CheckFormatter(input);
  return 0;
}
