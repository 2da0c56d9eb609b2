// Fuzzes the run log reader and everything built on it: the input is read
// whole and in pieces of two sizes (the results must agree), then the report
// of its runs is written as text, JSON and SVG. Checked: every time-stamped
// "exec command <" line becomes exactly one command of some run; reading in
// pieces and handing runs over as they are done gives the same runs as
// reading whole, and the same report (as pxtool report writes it, run by
// run); the JSON is valid and laid out as nlohmann-json's dump(2) lays it
// out, and each of its times is null or an RFC 3339 time (in a zone with
// daylight saving time, so that stamps in the hours its changes skip or
// repeat are met); the SVG ends with its closing tag.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz_support.h"
#include "run_log.h"
#include "run_log_reader.h"
#include "rfc3339_time.h"
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

// Null, or "YYYY-MM-DDThh:mm:ss+hh:mm" (or -hh:mm) with fields in range.
bool IsTimeOrNull(const nlohmann::ordered_json& value) {
  if (value.is_null()) return true;
  if (!value.is_string()) return false;
  const std::string& t = value.get_ref<const std::string&>();
  static const char kShape[] = "dddd-dd-ddTdd:dd:dd+dd:dd";
  if (t.size() != sizeof(kShape) - 1) return false;
  for (size_t i = 0; i < t.size(); ++i) {
    bool digit = t[i] >= '0' && t[i] <= '9';
    if (kShape[i] == 'd' ? !digit : kShape[i] == '+' ? t[i] != '+' && t[i] != '-'
                                                      : t[i] != kShape[i])
      return false;
  }
  int month = std::atoi(t.substr(5, 2).c_str()), day = std::atoi(t.substr(8, 2).c_str());
  return month >= 1 && month <= 12 && day >= 1 && day <= 31 && t.compare(11, 2, "24") < 0 &&
         t[14] < '6' && t[17] < '6' && t[23] < '6';
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);  // Europe/Berlin's rule
  return 0;
}

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
  for (const auto& run : parsed["runs"]) {
    for (const char* key : {"started", "ended_at", "last_line_at"})
      FUZZ_CHECK(IsTimeOrNull(run[key]));
    for (const auto& command : run["commands"])
      FUZZ_CHECK(IsTimeOrNull(command["started"]) && IsTimeOrNull(command["ended"]));
  }
  // A stamp at the start of the input: a time, unless its year would not
  // have four digits.
  long long wall = ParseLogStamp(text, size);
  if (wall >= 0) {
    std::string time = pxtool::Rfc3339FromWallClock(wall);
    FUZZ_CHECK(IsTimeOrNull(time.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(time)));
    FUZZ_CHECK(!time.empty() || text[0] == '9');
  }

  settings.format = pxtool::ReportFormat::kSvg;
  std::string svg = Report([&](FILE* out) {
    pxtool::ReportWriter(settings, out).Finish(whole);  // the log read whole
  });
  FUZZ_CHECK(svg.size() > 7 && svg.compare(svg.size() - 7, 7, "</svg>\n") == 0);
  return 0;
}
