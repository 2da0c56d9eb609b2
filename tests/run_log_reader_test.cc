// The run log reader, the final code in words and the re-arming of an
// argument file, on texts made here.

#include "run_log_reader.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "json_samples.h"
#include "package_files.h"
#include "package_state.h"
#include "run_outcome.h"
#include "run_report.h"
#include "test_util.h"

namespace pxtool {
namespace {

using quillon_test::ArgText;
using quillon_test::Contains;

std::string Header(const std::string& stamp, const std::string& args) {
  return "\n\n*********+*********+*********+*********+*********+**********+**********+******"
         "\n**       Quillon V3.03.05 Log " + stamp + "\n" + std::string(78, '*') +
         "\n** Arg [0]: Quillon" + args + "\n** working directory: \"/p\"\n" +
         std::string(78, '*');
}
std::string L(const std::string& stamp, const std::string& text) {
  return "\n2024/02/22 " + stamp + "\t" + text;
}
std::string Command(const std::string& at, const std::string& end, const std::string& text,
                    int rc, int verdict) {
  return L(at, "exec command <" + text + ">") + L(end, " . . . returned " + std::to_string(rc)) +
         L(end, "Executed command: \"" + text + "\" Retcode: " + std::to_string(verdict));
}

TEST(RunLogReaderTest, RunsCommandsAndTheirEnds) {
  std::string text =
      Header("2024/02/22 10:00:00", "\n** Arg [1]: /p\n** Arg [2]: px.arg\n** Arg [3]: -update") +
      L("10:00:00", "Use command section [UpdCommands]") +
      Command("10:00:01", "10:00:04", "sh a.sh", 0, 0) +
      Command("10:00:04", "10:00:05", "sh \"b\" > x", 3, 2) +
      L("10:00:05", "Quillon return code: 0x100002") +
      // A run killed while its command ran, then a torn line.
      Header("2024/02/22 11:00:00", "\n** Arg [1]: /p") + L("11:00:01", "exec command <sh c.sh>") +
      L("11:00:02", "Update status file \"/p/HandlerStatus.txt\": Exit Status: 4, Return Code: 0") +
      "\n2024/02/22 11:0";
  RunLog log = ReadRunLog(text.data(), text.size());
  ASSERT_EQ(2u, log.runs.size());
  const LoggedRun& a = log.runs[0];
  EXPECT_TRUE(a.headerComplete);
  EXPECT_EQ(3u, a.logLine);
  EXPECT_EQ("2024/02/22 10:00:00", FormatLogStamp(a.started.seconds));
  EXPECT_EQ((std::vector<std::string>{"Quillon", "/p", "px.arg", "-update"}), a.args);
  EXPECT_EQ("/p", a.workingDirectory);
  EXPECT_EQ("[UpdCommands]", a.section);
  EXPECT_EQ(RunMode::kUpdate, ModeOfRun(a).mode);
  ASSERT_TRUE(a.ended);
  EXPECT_EQ(0x100002u, a.finalCode);
  ASSERT_EQ(2u, a.commands.size());
  EXPECT_EQ(3, a.commands[0].ended.seconds - a.commands[0].started.seconds);
  EXPECT_EQ("sh \"b\" > x", a.commands[1].text);
  EXPECT_EQ(3u, a.commands[1].returnCode);
  EXPECT_STREQ("aborted", CommandVerdict(a.commands[1], false, true, false));

  const LoggedRun& b = log.runs[1];
  EXPECT_FALSE(b.ended);
  EXPECT_TRUE(b.rebootRequested);
  ASSERT_EQ(1u, b.commands.size());
  EXPECT_FALSE(b.commands[0].returned);
  EXPECT_TRUE(b.commands[0].rebootRequested);
  EXPECT_STREQ("killed", CommandVerdict(b.commands[0], false, false, false));
  EXPECT_STREQ("running", CommandVerdict(b.commands[0], false, false, true));
}

TEST(RunLogReaderTest, CutHeadersLinesBeforeAHeaderAndInterleavedRuns) {
  std::string cut = Header("2024/02/22 09:00:00", "");
  cut.resize(cut.find("** working"));
  std::string text = L("08:00:00", "exec command <orphan>") + cut +
                     Header("2024/02/22 10:00:00", "") + L("10:00:00", "exec command <a>") +
                     Header("2024/02/22 10:00:01", "") + L("10:00:01", "exec command <b>") +
                     L("10:00:02", " . . . returned 0") +  // b's, the newest open one
                     L("10:00:02", "Executed command: \"a\" Retcode: 0") +
                     L("10:00:03", " . . . returned 0") +
                     L("10:00:03", "Executed command: \"b\" Retcode: 0") +
                     L("10:00:04", "Quillon return code: 0x0") +
                     L("10:00:05", "Quillon return code: 0x2");
  RunLog log = ReadRunLog(text.data(), text.size());
  ASSERT_EQ(4u, log.runs.size());
  EXPECT_TRUE(log.runs[0].headerMissing);
  EXPECT_EQ("orphan", log.runs[0].commands.at(0).text);
  EXPECT_FALSE(log.runs[1].headerComplete);
  const LoggedRun& a = log.runs[2];
  const LoggedRun& b = log.runs[3];
  ASSERT_EQ(1u, a.commands.size());
  ASSERT_EQ(1u, b.commands.size());
  EXPECT_TRUE(a.commands[0].judged);
  EXPECT_TRUE(b.commands[0].judged);
  EXPECT_TRUE(b.ended);
  EXPECT_EQ(0u, b.finalCode);
  EXPECT_TRUE(a.ended);
  EXPECT_EQ(2u, a.finalCode);
}

// The report of a log written run by run as the parser hands runs over, as
// pxtool report does.
std::string StreamedReport(const std::string& text, const ReportSettings& settings) {
  char* out = nullptr;
  size_t size = 0;
  FILE* file = open_memstream(&out, &size);
  {
    ReportWriter writer(settings, file);
    RunLogParser parser([&writer](LoggedRun& run, size_t number) {
      writer.Add(run, number);
    });
    parser.Feed(text.data(), text.size());
    writer.Finish(parser.Finish());
  }
  fclose(file);
  std::string report(out, size);
  free(out);
  return report;
}

// Runs handed over as they are done (reading in pieces, the same report
// either way: the run_log_fuzz target): only the last runs are kept and
// shown with --last, the log's last one as running when a run holds the
// lock. The slowest commands come slowest first, the earlier among equals.
TEST(RunLogReaderTest, RunsHandedOverAndTheSlowestOfThem) {
  std::string text = L("08:00:00", "exec command <orphan>");
  for (int r = 0; r < 12; ++r) {
    std::string at = "1" + std::to_string(r % 10) + ":00:0";
    text += Header("2024/02/22 " + at + "0", "");
    for (int c = 0; c < 2; ++c)  // durations 0 to 5, each twice
      text += Command(at + "0", at + std::to_string((r + c) % 6), "c" + std::to_string(c), 0, 0);
    if (r != 11) text += L(at + "9", "Quillon return code: 0x0");
  }
  size_t handed = 0;
  RunLogParser parser([&handed](const LoggedRun&, size_t number) { EXPECT_EQ(++handed, number); });
  parser.Feed(text.data(), text.size());
  RunLog rest = parser.Finish();
  EXPECT_EQ(13u - kRecentRuns, rest.retired);
  EXPECT_EQ(13u, handed + rest.runs.size());

  ReportSettings settings;
  std::string all = StreamedReport(text, settings);
  settings.last = 3;
  settings.running = true;
  std::string last = StreamedReport(text, settings);
  EXPECT_TRUE(Contains(all, "\nRun 5: "));
  EXPECT_EQ(std::string::npos, last.find("\nRun 10: ")) << last;
  EXPECT_TRUE(Contains(last, "\nRun 11: "));
  EXPECT_TRUE(Contains(last, "still running"));
  EXPECT_TRUE(Contains(last, "\n13 runs in the log, the last 3 shown\n"));

  settings.format = ReportFormat::kJson;
  EXPECT_EQ(StreamedReport(text, settings).find("\"index\": 10"), std::string::npos);
  settings.last = 0;
  quillon_test::ScopedTimeZone berlin("CET-1CEST,M3.5.0,M10.5.0/3");
  auto json = quillon_test::ParsePxtoolJson(StreamedReport(text, settings));
  EXPECT_EQ(13, json["runs_in_log"]);
  // Times in RFC 3339 with the zone's offset; null where the log has none.
  EXPECT_EQ("2024-02-22T08:00:00+01:00", json["runs"][0]["started"]);  // before any header
  EXPECT_EQ("2024-02-22T10:00:00+01:00", json["runs"][1]["started"]);
  EXPECT_EQ("2024-02-22T10:00:09+01:00", json["runs"][1]["ended_at"]);
  EXPECT_EQ("2024-02-22T10:00:01+01:00", json["runs"][1]["commands"][1]["ended"]);
  EXPECT_EQ(nullptr, json["runs"][12]["ended_at"]);
  std::vector<std::pair<int, int>> slowest;  // duration, run
  for (const auto& c : json["slowest_commands"])
    slowest.emplace_back(c["duration_seconds"], c["run"]);
  // Duration d = (r + c) % 6 for runs 2..13 (r = run - 2), commands c0, c1.
  EXPECT_EQ((std::vector<std::pair<int, int>>{{5, 6}, {5, 7}, {5, 12}, {5, 13}, {4, 5},
                                              {4, 6}, {4, 11}, {4, 12}, {3, 4}, {3, 5}}),
            slowest);
}

// A log cut short by another process while it is read (a log rotation)
// ends the reading with an error naming it, never a SIGBUS; a log that
// grows meanwhile is read to the size it had.
TEST(RunLogReaderTest, ALogCutShortOrGrowingWhileItIsRead) {
  quillon_test::ScopedTempDir dir;
  const std::string path = dir.path() + "/Quillon.log";
  quillon_test::WriteFile(path, std::string(3 << 20, '\n'));
  size_t seen = 0;
  std::string error;
  EXPECT_FALSE(ReadPackageFileInPieces(
      path, kMaxRunLogSize, dir.path(),
      [&](const char* data, size_t size) {
        if (seen == 0) {
          EXPECT_EQ(0, truncate(path.c_str(), 0));
        }
        for (size_t i = 0; i < size; ++i) seen += data[i] == '\n';
      },
      &error));
  EXPECT_TRUE(Contains(error, path + ": cut short while it was read"));
  EXPECT_LT(seen, size_t{3} << 20);

  quillon_test::WriteFile(path, "a\n");
  std::string read;
  EXPECT_TRUE(ReadPackageFileInPieces(
      path, kMaxRunLogSize, dir.path(),
      [&](const char* data, size_t size) {
        read.append(data, size);
        std::ofstream(path, std::ios::app) << "more\n";
      },
      &error));
  EXPECT_EQ("a\n", read);
}

TEST(RunOutcomeTest, FinalCode) {
  EXPECT_STREQ("success", DescribeFinalCode(0x100000, false).verdict);
  EXPECT_TRUE(DescribeFinalCode(0x100000, false).delayedReboot);
  EXPECT_STREQ("handler_error", DescribeFinalCode(0x22130003, false).verdict);
  EXPECT_STREQ("out_of_memory", DescribeFinalCode(0x22030005, true).verdict);
  EXPECT_STREQ("reboot_suppressed", DescribeFinalCode(6, false).verdict);
  EXPECT_STREQ("reboot_requested", DescribeFinalCode(2, true).verdict);
  EXPECT_STREQ("aborted", DescribeFinalCode(8, true).verdict);
  EXPECT_STREQ("os_not_supported", DescribeFinalCode(59, true).condition);
  EXPECT_TRUE(DescribeFinalCode(1, true).delayedReboot);
  EXPECT_STREQ("other", DescribeFinalCode(59, false).verdict);
}

TEST(RearmTest, OnlyMarksAndResultFieldsOfTakenLinesChange) {
  std::string text = ArgText({"[Runtime]", "FWPATH=f", "[Commands]", "1 003 sh a", "1 00",
                              "# 1 005 comment", "0 000 sh b", "[UpdCommands]", "1 255 sh u",
                              "[End]"});
  text.insert(text.find("0 000 sh b"), "1 007 sh lf\n");  // a bare LF line
  std::string rearmed = text;
  std::vector<std::string> missing;
  std::set<size_t> lines;
  EXPECT_EQ(2u, RearmSections(&rearmed, {RunMode::kForce, RunMode::kExpert}, {}, &missing, &lines));
  EXPECT_EQ(std::vector<std::string>{"[ExpCommands]"}, missing);
  std::string expected = text;
  expected.replace(expected.find("1 003"), 5, "0 000");
  expected.replace(expected.find("1 007"), 5, "0 000");
  EXPECT_EQ(expected, rearmed);
  SectionProgress progress = ReadProgress(text, RunMode::kForce, ExternalValues());
  EXPECT_EQ(2u, progress.taken);
  EXPECT_EQ(1u, progress.pending);
  EXPECT_EQ(8u, progress.Resume()->number);

  // A signed package's lines shipped taken (4 and 8) get their mark back.
  rearmed = text;
  EXPECT_EQ(2u, RearmSections(&rearmed, {RunMode::kForce}, {4, 8}, &missing, &lines));
  expected = text;
  expected.replace(expected.find("1 007"), 5, "0 000");
  expected.replace(expected.find("0 000 sh b"), 1, "1");
  EXPECT_EQ(expected, rearmed);
  EXPECT_EQ((std::set<size_t>{4, 5, 6, 7, 8}), lines);
}

}  // namespace
}  // namespace pxtool
