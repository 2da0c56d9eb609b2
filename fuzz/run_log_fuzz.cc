// Fuzzes the run log reader and everything built on it: the input is read
// whole and in pieces of two sizes (the results must agree), then the report
// of its runs is written as text, JSON and SVG. Checked: every time-stamped
// "exec command <" line becomes exactly one command of some run; reading in
// pieces and handing runs over as they are done gives the same runs as
// reading whole, and the same report (as pxtool report writes it, run by
// run); the JSON is valid and laid out as nlohmann-json's dump(2) lays it
// out; the SVG ends with its closing tag.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz_support.h"
#include "run_log.h"
#include "run_log_reader.h"
#include "run_report.h"

namespace {

size_t CountCommands(const pxtool::RunLog& log) {
  size_t n = 0;
  for (const pxtool::LoggedRun& run : log.runs) n += run.commands.size();
  return n;
}

// Lines "<stamp>\t" + the start of a command: what the reader must count.
size_t CountExecLines(const std::string& text) {
  size_t n = 0, at = 0;
  while (at <= text.size()) {
    size_t lf = text.find('\n', at);
    size_t end = lf == std::string::npos ? text.size() : lf;
    if (end - at > 20 && ParseLogStamp(text.data() + at, end - at) >= 0 &&
        text[at + 19] == '\t' &&
        text.compare(at + 20, kLogExecCommand.size(), kLogExecCommand) == 0)
      ++n;
    if (lf == std::string::npos) break;
    at = lf + 1;
  }
  return n;
}

// What `write` writes to a FILE, as a string.
template <typename Write>
std::string Report(Write write) {
  char* data = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  if (out == nullptr) abort();
  write(out);
  fclose(out);
  std::string text(data, size);
  free(data);
  return text;
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

  // Written run by run as the runs are handed over: the same text.
  std::string whole_text = Report([&](FILE* out) {
    pxtool::ReportWriter(settings, out).Finish(whole);  // the log read whole
  });
  std::string streamed_text = Report([&](FILE* out) {
    pxtool::ReportWriter writer(settings, out);
    pxtool::RunLogParser parser(
        [&writer](pxtool::LoggedRun& run, size_t number) { writer.Add(run, number); });
    parser.Feed(text, size);
    writer.Finish(parser.Finish());
  });
  FUZZ_CHECK(whole_text == streamed_text);

  // The JSON, written a value at a time, is what nlohmann-json reads and
  // writes back with dump(2): valid, and laid out alike.
  settings.format = pxtool::ReportFormat::kJson;
  std::string json = Report([&](FILE* out) {
    pxtool::ReportWriter(settings, out).Finish(whole);  // the log read whole
  });
  auto parsed = nlohmann::ordered_json::parse(json, nullptr, false);
  FUZZ_CHECK(!parsed.is_discarded());
  FUZZ_CHECK(parsed.dump(2) + "\n" == json);

  settings.format = pxtool::ReportFormat::kSvg;
  std::string svg = Report([&](FILE* out) {
    pxtool::ReportWriter(settings, out).Finish(whole);  // the log read whole
  });
  FUZZ_CHECK(svg.size() > 7 && svg.compare(svg.size() - 7, 7, "</svg>\n") == 0);
  return 0;
}
