// Fuzzes the run log reader and everything built on it: the input is read
// whole and in pieces of two sizes (the results must agree), then the report
// of its runs is written as text, JSON and SVG. Checked: every time-stamped
// "exec command <" line becomes exactly one command of some run; reading in
// pieces and handing runs over as they are done gives the same runs as
// reading whole, and the same report (as pxtool report writes it, run by
// run); the SVG ends with its closing tag.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
    size_t retiredRuns = 0, retiredCommands = 0;
    pxtool::RunLogParser parser([&](const pxtool::LoggedRun& run, size_t number) {
      FUZZ_CHECK(number == ++retiredRuns);
      retiredCommands += run.commands.size();
    });
    for (size_t at = 0; at < size; at += piece) {
      parser.Feed(text + at, std::min(piece, size - at));
    }
    pxtool::RunLog pieces = parser.Finish();
    FUZZ_CHECK(pieces.retired == retiredRuns);
    FUZZ_CHECK(pieces.retired + pieces.runs.size() == whole.runs.size());
    FUZZ_CHECK(pieces.lines == whole.lines);
    FUZZ_CHECK(retiredCommands + CountCommands(pieces) == CountCommands(whole));
  }
  pxtool::ReportSettings settings;
  settings.argText = "[Runtime]\r\nFWPATH=f\r\n[Commands]\r\n1 000 sh a\r\n0 000 b\r\n[End]\r\n";
  settings.last = size % 3;
  settings.running = size % 2;
  FILE* out = fopen("/dev/null", "we");
  if (out == nullptr) return 0;
  pxtool::WriteRunReport(whole, settings, out);
  settings.format = pxtool::ReportFormat::kJson;
  pxtool::WriteRunReport(whole, settings, out);
  fclose(out);

  // Written run by run as the runs are handed over: the same text.
  settings.format = pxtool::ReportFormat::kText;
  char* whole_text = nullptr;
  char* streamed_text = nullptr;
  size_t whole_size = 0, streamed_size = 0;
  FILE* a = open_memstream(&whole_text, &whole_size);
  FILE* b = open_memstream(&streamed_text, &streamed_size);
  if (a == nullptr || b == nullptr) return 0;
  pxtool::WriteRunReport(whole, settings, a);
  {
    pxtool::ReportWriter writer(settings, b);
    pxtool::RunLogParser parser(
        [&writer](pxtool::LoggedRun& run, size_t number) { writer.Add(run, number); });
    parser.Feed(text, size);
    writer.Finish(parser.Finish());
  }
  fclose(a);
  fclose(b);
  FUZZ_CHECK(whole_size == streamed_size && memcmp(whole_text, streamed_text, whole_size) == 0);
  free(whole_text);
  free(streamed_text);

  char* svg = nullptr;
  size_t svgSize = 0;
  FILE* mem = open_memstream(&svg, &svgSize);
  if (mem == nullptr) return 0;
  settings.format = pxtool::ReportFormat::kSvg;
  pxtool::WriteRunReport(whole, settings, mem);
  fclose(mem);
  FUZZ_CHECK(svgSize > 7 && strcmp(svg + svgSize - 7, "</svg>\n") == 0);
  free(svg);
  return 0;
}
