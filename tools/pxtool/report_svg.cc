// The SVG timeline of `pxtool report --format svg`: one row per run, one bar
// per command (flags lines are not drawn), coloured by verdict, with reboot
// requests and interruptions marked. Self-contained: inline attributes, a
// generic font family, no scripts, no external references; every text is
// escaped, and bytes that are not plain ASCII are shown as "?", so the file
// is valid XML whatever the log holds.

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "run_report.h"

namespace pxtool {

namespace {

const int kWidth = 1000;
const int kLabelWidth = 300;
const int kPlotLeft = kLabelWidth + 10, kPlotRight = kWidth - 150;
const int kTop = 60, kRowHeight = 40, kBarHeight = 18;

struct Colour {
  const char* verdict;
  const char* fill;
  const char* legend;
};
const Colour kColours[] = {
    {"ok", "#43a047", "ok"},
    {"go_on", "#c0ca33", "non-zero code let pass"},
    {"skipped", "#bdbdbd", "skipped (other mode)"},
    {"aborted", "#e53935", "aborted"},
    {"reboot", "#1e88e5", "reboot requested"},
    {"reboot_suppressed", "#90caf9", "reboot suppressed"},
    {"killed", "#6a1b9a", "killed while it ran"},
    {"running", "#fdd835", "running"},
    {"error", "#fb8c00", "error, hardware, target, other"},
};

const char* FillOf(const char* verdict) {
  for (const Colour& c : kColours)
    if (strcmp(c.verdict, verdict) == 0) return c.fill;
  return "#fb8c00";
}

std::string Escape(std::string_view text, size_t limit = 200) {
  std::string out;
  size_t shown = 0;
  for (unsigned char c : text) {
    if (shown++ == limit) {
      out += "...";
      break;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += (c < 0x20 || c >= 0x7f) ? '?' : static_cast<char>(c);
    }
  }
  return out;
}

// A coordinate with one decimal. Put together by hand for the plot's
// values (two per bar, thousands of bars): printf's floating-point path
// was most of the drawing's time.
std::string Number(double value) {
  char text[32];
  if (!(value >= 0 && value < 1e12)) {
    snprintf(text, sizeof(text), "%.1f", value);
    return text;
  }
  long long tenths = llround(value * 10);
  char* p = text + sizeof(text);
  *--p = static_cast<char>('0' + tenths % 10);
  *--p = '.';
  long long whole = tenths / 10;
  do {
    *--p = static_cast<char>('0' + whole % 10);
    whole /= 10;
  } while (whole != 0);
  return std::string(p, static_cast<size_t>(text + sizeof(text) - p));
}

std::string RunSummary(const ReportRun& run) {
  const LoggedRun& r = *run.logged;
  std::string text = std::string(run.mode) + (run.autonomic ? " autonomic" : "");
  if (!run.section.empty()) text += " " + run.section;
  if (r.ended) {
    char hex[24];
    snprintf(hex, sizeof(hex), "0x%" PRIX64, static_cast<uint64_t>(r.finalCode));
    text += std::string(": ") + run.meaning.verdict + " " + hex;
  } else {
    text += std::string(": ") + (std::string(run.end) == "running"
                                     ? "running" : "no final line");
  }
  return text;
}

}  // namespace

void WriteReportSvg(const RunsReport& report, FILE* out) {
  long long longest = 1;
  size_t most = 1;  // commands drawn in the fullest row
  for (const ReportRun& run : report.runs) {
    longest = std::max(longest, run.duration);
    size_t drawn = 0;
    for (const LoggedCommand& c : run.logged->commands)
      if (!c.IsFlags()) ++drawn;
    most = std::max(most, drawn);
  }
  int rows = static_cast<int>(report.runs.size());
  int legendTop = kTop + rows * kRowHeight + 20;
  int height = legendTop + 60;
  double plot = kPlotRight - kPlotLeft;
  // Commands of a second or less would be invisible at the log's second
  // resolution: every bar is at least this wide, and a bar starts no
  // earlier than the end of the one before it.
  double minWidth = std::max(2.0, std::min(14.0, plot / static_cast<double>(most + 1)));

  fprintf(out,
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
          "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
          "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"12\">\n"
          "<rect width=\"100%%\" height=\"100%%\" fill=\"#ffffff\"/>\n"
          "<text x=\"10\" y=\"22\" font-size=\"16\" font-weight=\"bold\">Quillon runs: %s</text>\n"
          "<text x=\"10\" y=\"40\" fill=\"#555555\">%zu of %zu runs of the log; seconds since "
          "each run's start (bars at least %.0f px wide)</text>\n",
          kWidth, height, kWidth, height, Escape(report.packageDir, 80).c_str(),
          report.runs.size(), report.runsInLog, minWidth);
  // Axis: seconds since each run's start.
  for (int i = 0; i <= 5; ++i) {
    double x = kPlotLeft + plot * i / 5;
    fprintf(out, "<line x1=\"%s\" y1=\"%d\" x2=\"%s\" y2=\"%d\" stroke=\"#e0e0e0\"/>"
            "<text x=\"%s\" y=\"%d\" fill=\"#555555\" text-anchor=\"middle\">%s s</text>\n",
            Number(x).c_str(), kTop - 6, Number(x).c_str(), kTop + rows * kRowHeight,
            Number(x).c_str(), kTop - 10,
            Number(static_cast<double>(longest) * i / 5).c_str());
  }

  for (int row = 0; row < rows; ++row) {
    const ReportRun& run = report.runs[static_cast<size_t>(row)];
    const LoggedRun& r = *run.logged;
    int y = kTop + row * kRowHeight;
    if (row % 2 == 1)
      fprintf(out, "<rect x=\"0\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#f5f5f5\"/>\n",
              y, kWidth, kRowHeight);
    std::string started = r.started.Known() ? FormatLogStamp(r.started.seconds) : "?";
    fprintf(out, "<text x=\"10\" y=\"%d\" font-weight=\"bold\">Run %zu  %s</text>\n"
            "<text x=\"10\" y=\"%d\" fill=\"#555555\">%s</text>\n",
            y + 16, run.index, started.c_str(), y + 31,
            Escape(RunSummary(run), 48).c_str());

    double scale = (plot - minWidth) / static_cast<double>(longest);
    double previousEnd = kPlotLeft;
    long long start = r.started.Known() ? r.started.seconds : -1;
    int barY = y + (kRowHeight - kBarHeight) / 2;
    for (size_t i = 0; i < run.Commands(); ++i) {
      ReportCommand c = run.Command(i);
      const LoggedCommand& l = *c.logged;
      if (l.IsFlags()) continue;
      double x = start >= 0 && l.started.Known()
                     ? kPlotLeft + static_cast<double>(l.started.seconds - start) * scale
                     : previousEnd;
      x = std::max(x, previousEnd);
      long long seconds = c.duration;
      if (seconds < 0 && l.started.Known() && r.lastSeen.Known())
        seconds = std::max(0LL, r.lastSeen.seconds - l.started.seconds);
      double width = std::max(minWidth, static_cast<double>(std::max(0LL, seconds)) * scale);
      width = std::max(1.0, std::min(width, kPlotRight + 20.0 - x));
      fprintf(out, "<rect x=\"%s\" y=\"%d\" width=\"%s\" height=\"%d\" fill=\"%s\" "
              "stroke=\"#ffffff\" stroke-width=\"0.5\"><title>line %s: %s&#10;%s, "
              "return code %s, %s s</title></rect>\n",
              Number(x).c_str(), barY, Number(width).c_str(), kBarHeight,
              FillOf(c.verdict), c.line ? std::to_string(c.line).c_str() : "?",
              Escape(l.text).c_str(), c.verdict,
              l.returned ? std::to_string(l.returnCode).c_str() : "none",
              c.duration >= 0 ? std::to_string(c.duration).c_str() : "?");
      if (l.rebootRequested)
        fprintf(out, "<path d=\"M %s %d l 6 -9 l -12 0 z\" fill=\"#0d47a1\"/>\n",
                Number(x + width / 2).c_str(), barY);
      previousEnd = x + width;
    }
    // How the run ended, right of its last bar.
    double endX = std::min(previousEnd + 4, static_cast<double>(kPlotRight) + 24);
    if (std::string(run.end) == "killed") {
      fprintf(out, "<path d=\"M %s %d l 6 5 l -6 4 l 6 5 l -6 4\" stroke=\"#c62828\" "
              "stroke-width=\"2\" fill=\"none\"/>"
              "<text x=\"%s\" y=\"%d\" fill=\"#c62828\" font-weight=\"bold\">interrupted</text>\n",
              Number(endX).c_str(), barY, Number(endX + 10).c_str(), barY + 13);
    } else if (std::string(run.end) == "running") {
      fprintf(out, "<text x=\"%s\" y=\"%d\" fill=\"#f57f17\">running...</text>\n",
              Number(endX).c_str(), barY + 13);
    } else if (r.rebootRequested) {
      fprintf(out, "<text x=\"%s\" y=\"%d\" fill=\"#0d47a1\" font-weight=\"bold\">"
              "reboot requested</text>\n", Number(endX).c_str(), barY + 13);
    }
  }

  fprintf(out, "<text x=\"10\" y=\"%d\" font-weight=\"bold\">Verdicts</text>\n",
          legendTop);
  int x = 10, y = legendTop + 14;
  for (const Colour& c : kColours) {
    int width = 30 + static_cast<int>(std::string(c.legend).size()) * 7;
    if (x + width > kWidth) {
      x = 10;
      y += 20;
    }
    fprintf(out, "<rect x=\"%d\" y=\"%d\" width=\"14\" height=\"12\" fill=\"%s\"/>"
            "<text x=\"%d\" y=\"%d\">%s</text>\n",
            x, y, c.fill, x + 18, y + 11, c.legend);
    x += width;
  }
  fputs("</svg>\n", out);
}

}  // namespace pxtool
