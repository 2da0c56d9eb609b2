// pxtool check [--strict] [--format text|json|sarif] [PACKAGE_DIR | ARGUMENT_FILE]...
// pxtool check --list-rules
//
// Runs the checker (checker.h) on each package and prints its diagnostics:
// text in the compiler layout "FILE:LINE:COL: error|warning|note: message
// [rule]" and a summary line, or one JSON document (schema pxtool.check,
// docs/json.md), or SARIF 2.1.0. Exit status 0 no error, 1 an error (with
// --strict a warning too) or a package that cannot be read, 2 usage error.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "checker.h"
#include "package_files.h"
#include "pxtool.h"
#include "quillon_version.h"

namespace pxtool {

namespace {

struct Checked {
  std::string argPath;
  std::string packageDir;
};

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
                            const size_t counts[3], bool strict, int status) {
  nlohmann::json doc;
  doc["schema"] = "pxtool.check";
  doc["schema_version"] = 1;
  doc["files"] = nlohmann::json::array();
  for (const Checked& f : files) {
    size_t c[3] = {0, 0, 0};
    for (const Diagnostic& d : diagnostics)
      if (d.file == f.argPath) ++c[static_cast<int>(d.severity)];
    doc["files"].push_back({{"path", f.argPath},
                            {"package_dir", f.packageDir},
                            {"errors", c[0]},
                            {"warnings", c[1]},
                            {"notes", c[2]}});
  }
  doc["diagnostics"] = nlohmann::json::array();
  for (const Diagnostic& d : diagnostics)
    doc["diagnostics"].push_back({{"file", d.file},
                                  {"line", d.line},
                                  {"column", d.column},
                                  {"severity", SeverityName(d.severity)},
                                  {"rule", d.rule},
                                  {"message", d.message}});
  doc["summary"] = {{"files", files.size()},   {"errors", counts[0]},
                    {"warnings", counts[1]},   {"notes", counts[2]},
                    {"strict", strict},        {"exit_status", status}};
  return doc;
}

nlohmann::json SarifDocument(const std::vector<Diagnostic>& diagnostics) {
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
  return {{"$schema", "https://json.schemastore.org/sarif-2.1.0.json"},
          {"version", "2.1.0"},
          {"runs", nlohmann::json::array(
                       {{{"tool", {{"driver", driver}}}, {"results", results}}})}};
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

int RunCheck(int argc, char** argv) {
  bool strict = false, listRules = false;
  std::string format = "text";
  std::vector<const char*> paths;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--strict") {
      strict = true;
    } else if (arg == "--list-rules") {
      listRules = true;
    } else if (arg == "--format" || arg.compare(0, 9, "--format=") == 0) {
      if (arg == "--format") {
        if (++i == argc) return UsageError("check: --format needs a value", "");
        format = argv[i];
      } else {
        format = arg.substr(9);
      }
      if (format != "text" && format != "json" && format != "sarif")
        return UsageError("check: unknown format ", format.c_str());
    } else if (arg == "--") {
      for (++i; i < argc; ++i) paths.push_back(argv[i]);
    } else if (arg.size() > 1 && arg[0] == '-') {
      return UsageError("check: unknown option ", arg.c_str());
    } else {
      paths.push_back(argv[i]);
    }
  }
  if (listRules) {
    if (!paths.empty()) return UsageError("check: --list-rules takes no path", "");
    return ListRules();
  }
  if (paths.empty())
    return UsageError("check: needs a PACKAGE_DIR or ARGUMENT_FILE", "");

  bool unreadable = false;
  std::vector<Checked> files;
  std::vector<Diagnostic> all;
  for (const char* path : paths) {
    PackageLocation where;
    std::string error;
    CheckInput input;
    if (!LocatePackage(path, nullptr, &where, &error) ||
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
    std::vector<Diagnostic> found = CheckArgumentText(input);
    all.insert(all.end(), found.begin(), found.end());
    files.push_back({input.argPath, where.dir});
  }

  size_t counts[3] = {0, 0, 0};
  for (const Diagnostic& d : all) ++counts[static_cast<int>(d.severity)];
  int status = unreadable || counts[0] > 0 || (strict && counts[1] > 0)
                   ? kExitFailure
                   : kExitSuccess;
  if (format == "json") {
    printf("%s\n", Dump(JsonDocument(files, all, counts, strict, status)).c_str());
  } else if (format == "sarif") {
    printf("%s\n", Dump(SarifDocument(all)).c_str());
  } else {
    for (const Diagnostic& d : all)
      printf("%s:%zu:%zu: %s: %s [%s]\n", d.file.c_str(), d.line, d.column,
             SeverityName(d.severity), d.message.c_str(), d.rule.c_str());
    printf("%zu error%s, %zu warning%s, %zu note%s in %zu argument file%s\n",
           counts[0], counts[0] == 1 ? "" : "s", counts[1],
           counts[1] == 1 ? "" : "s", counts[2], counts[2] == 1 ? "" : "s",
           files.size(), files.size() == 1 ? "" : "s");
  }
  return status;
}

}  // namespace pxtool
