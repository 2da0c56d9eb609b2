// Fuzzes the run log reader and everything built on it: the input is read
// whole and in pieces of two sizes (the results must agree), then the report
// of its runs is written as text, JSON and SVG. Checked: every time-stamped
// "exec command <" line becomes exactly one command of some run; reading in
// pieces gives the same runs as reading whole; the SVG ends with its closing
// tag.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "run_log_reader.h"
#include "run_report.h"

namespace {

size_t CountCommands(const pxtool::RunLog& log) {
  size_t n = 0;
  for (const pxtool::LoggedRun& run : log.runs) n += run.commands.size();
  return n;
}

// Lines "<stamp>\texec command <...": what the reader must count.
size_t CountExecLines(const std::string& text) {
  size_t n = 0, at = 0;
  while (at <= text.size()) {
    size_t lf = text.find('\n', at);
    size_t end = lf == std::string::npos ? text.size() : lf;
    if (end - at > 20 && pxtool::ParseLogStamp(text.data() + at, end - at) >= 0 &&
        text[at + 19] == '\t' && text.compare(at + 20, 14, "exec command <") == 0)
      ++n;
    if (lf == std::string::npos) break;
    at = lf + 1;
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  pxtool::RunLog whole = pxtool::ReadRunLog(text, size);
  FUZZ_CHECK(CountCommands(whole) == CountExecLines(std::string(text, size)));
  for (size_t piece : {1u, 7u}) {
    pxtool::RunLogParser parser;
    for (size_t at = 0; at < size; at += piece)
      parser.Feed(text + at, std::min(piece, size - at));
    pxtool::RunLog pieces = parser.Finish();
    FUZZ_CHECK(pieces.runs.size() == whole.runs.size());
    FUZZ_CHECK(pieces.lines == whole.lines);
    FUZZ_CHECK(CountCommands(pieces) == CountCommands(whole));
  }
  std::string argText = "[Runtime]\r\nFWPATH=f\r\n[Commands]\r\n1 000 sh a\r\n0 000 b\r\n[End]\r\n";
  pxtool::RunsReport report = pxtool::BuildRunReport(whole, argText, size % 3, size % 2);
  FILE* out = fopen("/dev/null", "we");
  if (out == nullptr) return 0;
  pxtool::WriteReportText(report, out);
  pxtool::WriteReportJson(report, out);
  fclose(out);
  char* svg = nullptr;
  size_t svgSize = 0;
  FILE* mem = open_memstream(&svg, &svgSize);
  if (mem == nullptr) return 0;
  pxtool::WriteReportSvg(report, mem);
  fclose(mem);
  FUZZ_CHECK(svgSize > 7 && strcmp(svg + svgSize - 7, "</svg>\n") == 0);
  free(svg);
  return 0;
}
