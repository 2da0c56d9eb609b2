// pxtool check [--strict] [--format text|json|sarif] [--max-diagnostics N]
//              [--no-source] [PACKAGE_DIR | ARGUMENT_FILE]...
// pxtool check --list-rules
//
// Runs the checker (checker.h) on each package and prints its diagnostics:
// text in the compiler layout "FILE:LINE:COL: error|warning|note: message
// [rule]", each followed by its source line and a caret under the column
// (source_excerpt.h; not with --no-source), and a summary line, or one JSON
// document (schema pxtool.check,
// docs/json.md), or SARIF 2.1.0. At most N diagnostics are printed (1000 by
// default, 0 for all), the first ones in the order of the output; the
// counts, the summary and the exit status take in every finding. Exit
// status 0 no error, 1 an error (with --strict a warning too) or a package
// that cannot be read, 2 usage error.

#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "checker.h"
#include "package_files.h"
#include "pxtool.h"
#include "quillon_version.h"
#include "source_excerpt.h"

namespace pxtool {

namespace {

const size_t kDefaultMaxDiagnostics = 1000;

struct Checked {
  std::string argPath;
  std::string packageDir;
  size_t counts[3];  // every finding, by severity
  size_t omitted;    // findings not printed
};

// "N more diagnostics not shown (--max-diagnostics M)".
std::string OmittedNote(size_t omitted, size_t maxDiagnostics) {
  return std::to_string(omitted) + " more diagnostic" +
         (omitted == 1 ? "" : "s") + " not shown (--max-diagnostics " +
         std::to_string(maxDiagnostics) + ")";
}

// A count for an option: decimal digits only.
bool ParseCount(const std::string& text, size_t* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  errno = 0;
  unsigned long long v = strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || v > static_cast<size_t>(-1)) return false;
  *value = static_cast<size_t>(v);
  return true;
}

std::string Dump(const nlohmann::json& document) {
  return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

// A relative path as a URI reference: every byte outside the unreserved
// characters and "/" percent-encoded.
std::string UriOf(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string uri;
  for (unsigned char c : path) {
    if (isalnum(c) || strchr("-._~/", c) != nullptr) {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 15];
    }
  }
  return uri;
}

nlohmann::json JsonDocument(const std::vector<Checked>& files,
                            const std::vector<Diagnostic>& diagnostics,
                            const size_t counts[3], size_t omitted,
                            size_t maxDiagnostics, bool strict, int status) {
  nlohmann::json doc;
  doc["schema"] = "pxtool.check";
  doc["schema_version"] = 1;
  doc["files"] = nlohmann::json::array();
  for (const Checked& f : files)
    doc["files"].push_back({{"path", f.argPath},
                            {"package_dir", f.packageDir},
                            {"errors", f.counts[0]},
                            {"warnings", f.counts[1]},
                            {"notes", f.counts[2]},
                            {"omitted", f.omitted}});
  doc["diagnostics"] = nlohmann::json::array();
  for (const Diagnostic& d : diagnostics)
    doc["diagnostics"].push_back({{"file", d.file},
                                  {"line", d.line},
                                  {"column", d.column},
                                  {"severity", SeverityName(d.severity)},
                                  {"rule", d.rule},
                                  {"message", d.message}});
  doc["summary"] = {{"files", files.size()},
                    {"errors", counts[0]},
                    {"warnings", counts[1]},
                    {"notes", counts[2]},
                    {"omitted", omitted},
                    {"max_diagnostics", maxDiagnostics},
                    {"strict", strict},
                    {"exit_status", status}};
  return doc;
}

nlohmann::json SarifDocument(const std::vector<Diagnostic>& diagnostics,
                             size_t omitted, size_t maxDiagnostics) {
  nlohmann::json rules = nlohmann::json::array();
  for (const Rule& rule : Rules())
    rules.push_back({{"id", rule.name},
                     {"shortDescription", {{"text", rule.why}}},
                     {"defaultConfiguration",
                      {{"level", SeverityName(rule.severity)}}},
                     {"helpUri", "docs/check-rules.md#" + std::string(rule.name)}});
  nlohmann::json results = nlohmann::json::array();
  for (const Diagnostic& d : diagnostics) {
    size_t index = 0;
    while (index < Rules().size() && d.rule != Rules()[index].name) ++index;
    nlohmann::json region = {{"startLine", d.line}, {"startColumn", d.column}};
    nlohmann::json location = {
        {"physicalLocation",
         {{"artifactLocation", {{"uri", UriOf(d.file)}}}, {"region", region}}}};
    results.push_back({{"ruleId", d.rule},
                       {"ruleIndex", index},
                       {"level", SeverityName(d.severity)},
                       {"message", {{"text", d.message}}},
                       {"locations", nlohmann::json::array({location})}});
  }
  nlohmann::json driver = {{"name", "pxtool"},
                           {"version", QUILLON_VERSION_STRING},
                           {"rules", rules}};
  nlohmann::json run = {{"tool", {{"driver", driver}}}, {"results", results}};
  // Results left out are said in a notification of the invocation.
  if (omitted > 0)
    run["invocations"] = nlohmann::json::array(
        {{{"executionSuccessful", true},
          {"toolExecutionNotifications",
           nlohmann::json::array(
               {{{"level", "warning"},
                 {"message", {{"text", OmittedNote(omitted, maxDiagnostics)}}}}})},
          {"properties", {{"omitted", omitted}}}}});
  return {{"$schema", "https://json.schemastore.org/sarif-2.1.0.json"},
          {"version", "2.1.0"},
          {"runs", nlohmann::json::array({run})}};
}

int ListRules() {
  size_t width = 0;
  for (const Rule& rule : Rules()) width = std::max(width, strlen(rule.name));
  for (const Rule& rule : Rules())
    printf("%-*s  %-7s  %s\n", static_cast<int>(width), rule.name,
           SeverityName(rule.severity), rule.why);
  return kExitSuccess;
}

}  // namespace

int RunCheck(const CommandLine& line) {
  bool strict = line.Has("strict"), showSource = !line.Has("no-source");
  std::string format = line.Has("format") ? line.Last("format") : "text";
  size_t maxDiagnostics = kDefaultMaxDiagnostics;
  const char* max = line.Last("max-diagnostics");
  if (max != nullptr && !ParseCount(max, &maxDiagnostics))
    return line.UsageError("--max-diagnostics needs a number (0: no limit), not '%s'", max);
  const std::vector<std::string>& paths = line.operands();
  if (line.Has("list-rules")) {
    if (!paths.empty()) return line.UsageError("--list-rules takes no path");
    return ListRules();
  }
  if (paths.empty()) return line.UsageError("needs a PACKAGE_DIR or ARGUMENT_FILE");

  // The limit holds over all files, in the order of the output.
  size_t room = maxDiagnostics == 0 ? kKeepAll : maxDiagnostics;
  bool unreadable = false;
  std::vector<Checked> files;
  std::vector<Diagnostic> all;
  std::vector<std::string> excerpts;  // text output: each diagnostic's source
  size_t counts[3] = {0, 0, 0}, omitted = 0;
  for (const std::string& path : paths) {
    PackageLocation where;
    std::string error;
    CheckInput input;
    if (!LocatePackage(path.c_str(), nullptr, &where, &error) ||
        !ReadPackageFile(where.ArgPath(), kMaxArgumentFileSize, where.dir,
                         &input.text, &error)) {
      fprintf(stderr, "pxtool: %s\n", error.c_str());
      unreadable = true;
      continue;
    }
    input.argPath = where.ArgPath();
    input.packageDir = where.dir;
    // Quillon's execution directory: the directory part of its second
    // argument, relative to the working directory.
    size_t slash = where.argFile.rfind('/');
    input.execDir =
        slash == std::string::npos ? "./" : where.argFile.substr(0, slash);
    input.argFile = where.argFile;
    CheckResult found = CheckArgumentText(input, room);
    if (room != kKeepAll) room -= found.diagnostics.size();
    if (format == "text" && showSource) {
      TextLines lines(input.text);
      for (const Diagnostic& d : found.diagnostics)
        excerpts.push_back(SourceExcerpt(lines.Line(d.line), d.line, d.column));
    }
    std::move(found.diagnostics.begin(), found.diagnostics.end(),
              std::back_inserter(all));
    Checked checked = {input.argPath, where.dir, {}, found.Omitted()};
    for (int s = 0; s < 3; ++s) {
      checked.counts[s] = found.counts[s];
      counts[s] += found.counts[s];
    }
    omitted += found.Omitted();
    files.push_back(checked);
  }

  int status = unreadable || counts[0] > 0 || (strict && counts[1] > 0)
                   ? kExitFailure
                   : kExitSuccess;
  if (format == "json") {
    printf("%s\n", Dump(JsonDocument(files, all, counts, omitted, maxDiagnostics,
                                     strict, status)).c_str());
  } else if (format == "sarif") {
    printf("%s\n", Dump(SarifDocument(all, omitted, maxDiagnostics)).c_str());
  } else {
    for (size_t i = 0; i < all.size(); ++i) {
      const Diagnostic& d = all[i];
      printf("%s:%zu:%zu: %s: %s [%s]\n", d.file.c_str(), d.line, d.column,
             SeverityName(d.severity), d.message.c_str(), d.rule.c_str());
      if (i < excerpts.size()) fputs(excerpts[i].c_str(), stdout);
    }
    printf("%zu error%s, %zu warning%s, %zu note%s in %zu argument file%s%s\n",
           counts[0], counts[0] == 1 ? "" : "s", counts[1],
           counts[1] == 1 ? "" : "s", counts[2], counts[2] == 1 ? "" : "s",
           files.size(), files.size() == 1 ? "" : "s",
           omitted == 0 ? "" : ("; " + OmittedNote(omitted, maxDiagnostics)).c_str());
  }
  return status;
}

}  // namespace pxtool
