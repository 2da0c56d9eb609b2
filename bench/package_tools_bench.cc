// The package tools are linear in the argument file: pxtool plan (and
// check) on generated argument files of 10,000 and 100,000 lines, and check
// on lines of 10,000 and 100,000 words. Times the planner alone (MakePlan
// on the text) and the whole subcommand (reading the file, planning,
// writing the JSON to /dev/null), and prints for each the ratio of the
// 100,000 time to the 10,000 time (the shortest of the repetitions, CPU and
// wall): linear work gives about 10, the limit is 12. Exit status 1 when
// the CPU-time ratio passes it.
//
//   package_tools_bench [benchmark flags]   (e.g. --benchmark_repetitions=5;
//   not --benchmark_report_aggregates_only, which hides the runs the ratios
//   are taken from)

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "planner.h"
#include "pxtool.h"

#include "checker.h"

namespace {

const double kLimit = 12.0;

// An argument file of about `lines` lines: one [Commands] section of flags
// lines (flags that let a command returning 0 go on), commands with
// placeholders and passwords, marked lines, comments and the other modes'
// prefixes, then [End].
std::string GeneratedArgFile(size_t lines) {
  std::mt19937 random(static_cast<unsigned>(lines));
  auto pick = [&](unsigned n) { return random() % n; };
  const char* const flags[] = {
      "abort_ne 0", "abort_gt 1 Delayed", "abort_ne 0 omit_ret_codes 3010,3011;",
      "reboot_eq 3 abort_gt 4 delayed_eq 2", "not_supported_OS 59 abort_ne 0",
      "extraction_fail 7 reboot_gt 100 omit_update_eq 1"};
  std::string text = "[Runtime]\r\n# generated\r\nFWPATH=files\r\n[Commands]\r\n";
  for (size_t i = 4; i + 1 < lines; ++i) {
    switch (pick(10)) {
      case 0: case 1: case 2:
        text += std::string("0 000 flag ") + flags[pick(6)] + "\r\n";
        break;
      case 3: text += "1 000 sh done.sh\r\n"; break;
      case 4: text += "# step " + std::to_string(i) + "\r\n"; break;
      case 5: text += "0 000 update sh only-update.sh\r\n"; break;
      default:
        text += "0 000 sh step.sh " + std::to_string(i) + " !{EXTVAR} -pwd s3cret\r\n";
    }
  }
  return text + "[End]\r\n";
}

std::map<size_t, std::string>& Files() {
  static std::map<size_t, std::string> files;
  return files;
}

const std::string& FileOf(size_t lines) {
  std::string& text = Files()[lines];
  if (text.empty()) text = GeneratedArgFile(lines);
  return text;
}

pxtool::PlanInput InputOf(size_t lines) {
  pxtool::PlanInput in;
  in.text = FileOf(lines);
  in.layout = pxtool::PlanLayout::kLocal;
  in.options.values.option = true;
  in.options.values.optionValue = "value";
  return in;
}

void BM_Plan(benchmark::State& state) {
  pxtool::PlanInput in = InputOf(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    pxtool::Plan plan = pxtool::MakePlan(in);
    if (plan.end.kind != pxtool::PlanEnd::kSectionEnd) {
      state.SkipWithError("the generated file does not plan to its end");
      break;
    }
    benchmark::DoNotOptimize(plan.steps.data());
  }
}
BENCHMARK(BM_Plan)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The whole subcommand on a file in a fresh directory, JSON to /dev/null.
void BM_PlanCommand(benchmark::State& state) {
  char dir[] = "/tmp/quillon-plan-bench.XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    state.SkipWithError("no temporary directory");
    return;
  }
  std::string path = std::string(dir) + "/px.arg";
  FILE* f = fopen(path.c_str(), "wb");
  const std::string& text = FileOf(static_cast<size_t>(state.range(0)));
  if (f == nullptr || fwrite(text.data(), 1, text.size(), f) != text.size()) {
    state.SkipWithError("cannot write the argument file");
    return;
  }
  fclose(f);
  fflush(stdout);
  int savedOut = dup(1);
  int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  dup2(devNull, 1);
  std::string dirArg = dir, format = "--format", json = "json";
  char* argv[] = {&dirArg[0], &format[0], &json[0]};
  // The option plan's row in pxtool's table has that this reading uses.
  const pxtool::Option options[] = {{"format", "text|json", ""}, {}};
  const pxtool::Command plan = {"plan", "plan", "", options, pxtool::RunPlan};
  pxtool::CommandLine line(plan);
  if (pxtool::ReadCommandLine(3, argv, &line) != pxtool::kRunCommand) {
    state.SkipWithError("pxtool plan's command line refused");
    return;
  }
  for (auto _ : state) {
    if (pxtool::RunPlan(line) != 0) {
      state.SkipWithError("pxtool plan failed");
      break;
    }
    fflush(stdout);
  }
  dup2(savedOut, 1);
  close(savedOut);
  close(devNull);
  unlink(path.c_str());
  rmdir(dir);
}
BENCHMARK(BM_PlanCommand)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The checker on the same files (the package directory listing aside:
// the files name no FWPATH directory that exists).
void BM_Check(benchmark::State& state) {
  pxtool::CheckInput in;
  in.argPath = "px.arg";
  in.text = FileOf(static_cast<size_t>(state.range(0)));
  in.packageDir = "/nonexistent-package";
  size_t found = 0;
  for (auto _ : state) found += pxtool::CheckArgumentText(in).diagnostics.size();
  benchmark::DoNotOptimize(found);
}
BENCHMARK(BM_Check)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The checker on lines of `words` words each, as pxtool check runs it
// (1000 findings kept): a flags line whose flag names repeat after their
// first occurrence, an omit list of bad codes, a command of unclosed
// placeholders. Each was once quadratic in its line.
void BM_CheckLongLines(benchmark::State& state) {
  size_t words = static_cast<size_t>(state.range(0));
  pxtool::CheckInput in;
  in.argPath = "px.arg";
  in.packageDir = "/nonexistent-package";
  in.text = "[Runtime]\r\nFWPATH=files\r\n[Commands]\r\n0 000 flag abort_ne 1";
  for (size_t i = 0; i < words / 3; ++i) in.text += " x abort_ne 1";
  in.text += "\r\n0 000 flag omit_ret_codes ";
  for (size_t i = 0; i < words; ++i) in.text += "x,";
  in.text += ";\r\n0 000 sh ";
  for (size_t i = 0; i < words; ++i) in.text += "!{";
  in.text += "}\r\n[End]\r\n";
  size_t found = 0;
  for (auto _ : state) found += pxtool::CheckArgumentText(in, 1000).Total();
  benchmark::DoNotOptimize(found);
}
BENCHMARK(BM_CheckLongLines)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// Keeps the shortest time per iteration of every benchmark (over its
// repetitions), wall and CPU, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  struct Times {
    double real = 0, cpu = 0;
  };
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      Times& t = times[run.run_name.str()];
      double real = run.GetAdjustedRealTime(), cpu = run.GetAdjustedCPUTime();
      if (t.real == 0 || real < t.real) t.real = real;
      if (t.cpu == 0 || cpu < t.cpu) t.cpu = cpu;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, Times> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  // The verdict goes by CPU time: on a machine shared with other work the
  // wall time of the longer run suffers more from it.
  int exitStatus = 0;
  for (const char* name :
       {"BM_Plan", "BM_PlanCommand", "BM_Check", "BM_CheckLongLines"}) {
    auto small = reporter.times.find(std::string(name) + "/10000");
    auto large = reporter.times.find(std::string(name) + "/100000");
    if (small == reporter.times.end() || large == reporter.times.end()) continue;
    double cpu = large->second.cpu / small->second.cpu;
    double real = large->second.real / small->second.real;
    printf("%s: 100000 / 10000 time ratio %.2f CPU, %.2f wall "
           "(limit %.0f)%s\n", name, cpu, real, kLimit,
           cpu <= kLimit ? "" : " - TOO SLOW");
    if (cpu > kLimit) exitStatus = 1;
  }
  return exitStatus;
}
