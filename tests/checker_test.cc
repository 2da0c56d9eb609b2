// The package checker (tools/pxtool/checker.h) on the bundled examples, and
// "pxtool check" as a program: exit statuses and the three output formats.

#include "checker.h"

#include <nlohmann/json.hpp>

#include <set>
#include <tuple>

#include "json_samples.h"
#include "package_files.h"
#include "source_excerpt.h"
#include "test_util.h"

namespace quillon_test {
namespace {

using pxtool::Diagnostic;

const std::string kSource = QUILLON_SOURCE_DIR;

// Checks an argument file of the source tree as "pxtool check" does.
std::vector<Diagnostic> CheckPath(const std::string& path) {
  pxtool::PackageLocation where;
  std::string error;
  pxtool::CheckInput input;
  EXPECT_TRUE(pxtool::LocatePackage(path.c_str(), nullptr, &where, &error)) << error;
  EXPECT_TRUE(pxtool::ReadPackageFile(where.ArgPath(), pxtool::kMaxArgumentFileSize, where.dir,
                                      &input.text, &error))
      << error;
  input.argPath = where.ArgPath();
  input.packageDir = where.dir;
  size_t slash = where.argFile.rfind('/');
  input.execDir = slash == std::string::npos ? "./" : where.argFile.substr(0, slash);
  input.argFile = where.argFile;
  return pxtool::CheckArgumentText(input).diagnostics;
}

std::string Show(const std::vector<Diagnostic>& found) {
  std::string text;
  for (const Diagnostic& d : found)
    text += d.file + ":" + std::to_string(d.line) + ":" + std::to_string(d.column) + ": " +
            d.message + " [" + d.rule + "]\n";
  return text;
}

// Every rule fires in the traps example, at its line and column, and
// nothing else fires there.
TEST(CheckerTest, EveryRuleFiresInTheTrapsExample) {
  struct Expected {
    const char* rule;
    const char* file;  // below examples/traps
    size_t line, column;
    const char* part;  // of the message
  };
  const Expected expected[] = {
      {"package-file-refused", "pkg/px.arg", 4, 8, "\"bare.bin\" is a bare trailer"},
      {"package-file-refused", "pkg/px.arg", 4, 8, "\"method3.bin\" has a method-3 trailer"},
      {"mode-prefix-never-runs", "pkg/px.arg", 7, 7, "\"force\" line in [UpdCommands]"},
      {"section-key-earlier", "pkg/px.arg", 8, 53, "not after the header on line 12"},
      {"flags-line-replaced", "pkg/px.arg", 11, 1, "end of the section (line 12)"},
      {"section-not-closed", "pkg/px.arg", 15, 1, "[Commands] is not closed"},
      {"unknown-flag-word", "pkg/px.arg", 16, 12,
       "\"abort_neq\" (did you mean \"abort_ne\" or \"abort_eq\"?): it contains \"abort_ne\", "
       "but \"q\" follows instead of a blank, so the run does not set abort_ne"},
      {"unknown-flag-word", "pkg/px.arg", 18, 12, "did you mean \"Reboot\"?"},
      {"flag-value-missing", "pkg/px.arg", 20, 12, "the run does not set abort_ne"},
      {"flag-value-missing", "pkg/px.arg", 22, 12, "\"Delayed\", not a number: the run reads abort_ne 0"},
      {"flag-value-not-number", "pkg/px.arg", 24, 21, "\"x1\""},
      {"omit-code-out-of-range", "pkg/px.arg", 26, 38, "\"99999999999999999999999\""},
      {"omit-list-never-matches", "pkg/px.arg", 28, 38, "\"3 4\""},
      {"flag-word-ignored", "pkg/px.arg", 30, 23, "column 12, not here: the run reads abort_ne 0"},
      {"flags-line-replaced", "pkg/px.arg", 32, 1, "flags line on line 33"},
      {"command-without-flags", "pkg/px.arg", 35, 7, "never stops the run"},
      {"bare-line-feed", "pkg/px.arg", 37, 17,
       "1 of 49 lines ends in LF only; the run needs CR LF - `pxtool fmt` converts. The run "
       "drops the character before each LF: here it reads the command as \"sh check.s\""},
      {"script-not-found", "pkg/px.arg", 39, 10, "\"missing.sh\""},
      {"unknown-placeholder", "pkg/px.arg", 41, 21, "\"!{EXTVR}\""},
      {"repeated-placeholder", "pkg/px.arg", 41, 39, "second !{PARAM}"},
      {"line-passed-over", "pkg/px.arg", 43, 1, "blanks before"},
      {"command-column-shifted", "pkg/px.arg", 44, 3,
       "the run runs \"h install.sh eleven\", not \"sh install.sh eleven\""},
      {"short-pending-line", "pkg/px.arg", 45, 1, ""},
      {"result-field-not-digits", "pkg/px.arg", 47, 3, "\"OOO\""},
      {"mode-prefix-never-runs", "pkg/px.arg", 49, 7, "\"update\" line in [Commands]"},
      {"mode-prefix-glued", "pkg/px.arg", 49, 13, "drops \"_\" after it: it runs \"fw.sh\""},
      {"no-final-line-feed", "pkg/px.arg", 50, 25, ""},
      {"fwpath-empty", "basics/empty-fwpath.arg", 2, 1, ""},
      {"path-too-long", "basics/long-name.arg", 2, 8, "260 characters"},
      {"too-many-package-files", "basics/many-files.arg", 2, 8, "more than 50"},
      {"section-name-misspelt", "basics/misspelt-section.arg", 6, 1,
       "`[UpdComands]`: did you mean `[UpdCommands]`? Without [UpdCommands] an update run ends "
       "with the handler error"},
      {"fwpath-directory-missing", "basics/missing-dir.arg", 2, 8, "\"no-such-directory\""},
      {"fwpath-missing", "basics/no-fwpath.arg", 3, 1, "`PATH=many` is not FWPATH="},
      {"runtime-section-missing", "basics/no-runtime.arg", 1, 1, ""},
      {"section-missing", "basics/no-runtime.arg", 1, 1, ""},
      {"zero-byte", "basics/zero-byte.arg", 7, 1, "13 bytes"},
      {"file-outside-manifest", "signed/pkg/px.arg", 1, 1, "\"../files/lib/added.sh\" is not in"},
      {"file-outside-manifest", "signed/pkg/px.arg", 1, 1, "\"notes.txt\" is not in"},
  };
  std::vector<Diagnostic> found = CheckPath(kSource + "/examples/traps");
  for (const char* name : {"empty-fwpath", "long-name", "many-files", "misspelt-section",
                           "missing-dir", "no-fwpath", "no-runtime", "zero-byte"}) {
    std::vector<Diagnostic> more =
        CheckPath(kSource + "/examples/traps/basics/" + name + ".arg");
    found.insert(found.end(), more.begin(), more.end());
  }
  std::vector<Diagnostic> signed_ = CheckPath(kSource + "/examples/traps/signed");
  found.insert(found.end(), signed_.begin(), signed_.end());
  ASSERT_EQ(std::size(expected), found.size()) << Show(found);
  std::set<std::string> fired;
  for (size_t i = 0; i < found.size(); ++i) {
    const Expected& e = expected[i];
    const Diagnostic& d = found[i];
    EXPECT_EQ(kSource + "/examples/traps/" + e.file, d.file);
    EXPECT_EQ(e.rule, d.rule) << Show({d});
    EXPECT_EQ(e.line, d.line) << Show({d});
    EXPECT_EQ(e.column, d.column) << Show({d});
    EXPECT_NE(std::string::npos, d.message.find(e.part)) << Show({d});
    EXPECT_EQ(pxtool::FindRule(d.rule)->severity, d.severity) << Show({d});
    fired.insert(d.rule);
  }
  for (const pxtool::Rule& rule : pxtool::Rules())
    EXPECT_TRUE(fired.count(rule.name)) << rule.name << " never fires in examples/traps";
}

// Texts checked as px.arg of a package directory that holds files/a.sh.
class CheckTextTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, mkdir((dir_ / "files").c_str(), 0755));
    WriteFile(dir_ / "files/a.sh", "exit 0\n");
    input_.argPath = "px.arg";
    input_.packageDir = dir_.path();
  }
  std::vector<Diagnostic> CheckText(const std::string& text) {
    input_.text = text;
    return pxtool::CheckArgumentText(input_).diagnostics;
  }
  ScopedTempDir dir_;
  pxtool::CheckInput input_;
};

// A staging path is the execution directory and the name: a long one is
// found even when the package directory's paths are short.
TEST_F(CheckTextTest, StagingPathOverItsLimit) {
  input_.execDir = std::string(510, 'd');
  std::vector<Diagnostic> found = CheckText(ArgText({"[Runtime]", "FWPATH=files", "[Commands]",
                                                     "0 000 flag abort_ne 0", "0 000 sh a.sh",
                                                     "[End]"}));
  ASSERT_EQ(1u, found.size()) << Show(found);
  EXPECT_EQ("path-too-long", found[0].rule);
  EXPECT_TRUE(Contains(found[0].message, "515 characters"));
}

// Lines that end in LF only are one finding at the first line whose value
// the run reads; the rest is found as if they ended in CR LF (no package
// directory "file", no script "a.s"), at the file's own columns.
TEST_F(CheckTextTest, LinesEndingInLfOnlyAreOneFinding) {
  std::vector<Diagnostic> found = CheckText(
      "[Runtime]\nFWPATH=files\n[Commands]\n0 000 flag abort_ne 0 bogus\n0 000 sh a.sh\n"
      "0 000 flag abort_ne 0\n[End]\n");
  ASSERT_EQ(3u, found.size()) << Show(found);
  EXPECT_EQ("px.arg:2:12: 7 lines end in LF only; the run needs CR LF - `pxtool fmt` converts. "
            "The run drops the character before each LF: here it reads the package directory "
            "as \"file\" (the other findings are for the file with CR LF) [bare-line-feed]\n",
            Show({found[0]}));
  EXPECT_EQ("unknown-flag-word", found[1].rule);
  EXPECT_EQ(23u, found[1].column);
  EXPECT_EQ("flags-line-replaced", found[2].rule);
  // Mixed: a comment and a header lose nothing; a command does.
  found = CheckText("[Runtime]\r\n# a\nFWPATH=files\r\n[Commands]\n0 000 flag abort_ne 0\r\n"
                    "0 000 sh a.sh\n[End]\r\n");
  ASSERT_EQ(1u, found.size()) << Show(found);
  EXPECT_EQ("px.arg:6:13: 3 of 7 lines end in LF only", Show(found).substr(0, 40));
  EXPECT_TRUE(Contains(found[0].message, "the command as \"sh a.s\""));
  found = CheckText("[Runtime]\r\n# a\nFWPATH=files\r\n[Commands]\n0 000 flag abort_ne 0\r\n"
                    "0 000 sh a.sh\r\n[End]\n");
  EXPECT_TRUE(found.empty()) << Show(found);
}

// A header close to a section key: an error where the file lacks the key
// (and the missing section is not reported again), a warning where the key
// is there; the FWPATH line that is not "FWPATH=" at its own line.
TEST_F(CheckTextTest, MisspeltHeadersAndFwPathLine) {
  std::vector<Diagnostic> found = CheckText(ArgText(
      {"[Runtime]", "FWPATH = files", "[Comands]", "0 000 true", "[commands]", "[Notes]",
       "[UpdCommands]", "0 000 flag abort_ne 0", "0 000 true", "[UpdCommand]", "[End]"}));
  ASSERT_EQ(4u, found.size()) << Show(found);
  EXPECT_EQ("px.arg:2:1: `FWPATH = files` is not FWPATH=: the run looks for \"FWPATH=\" exactly "
            "(upper case, no blank before the \"=\") and ends with the handler error "
            "[fwpath-missing]\n",
            Show({found[0]}));
  EXPECT_EQ("px.arg:3:1: `[Comands]`: did you mean `[Commands]`? Without [Commands] a forced "
            "run (the default) ends with the handler error [section-name-misspelt]\n",
            Show({found[1]}));
  EXPECT_EQ(pxtool::Severity::kError, found[1].severity);
  EXPECT_EQ(5u, found[2].line);
  EXPECT_TRUE(Contains(found[2].message, "(section keys are case-sensitive)"));
  EXPECT_EQ(pxtool::Severity::kError, found[2].severity);
  EXPECT_EQ("px.arg:10:1: `[UpdCommand]`: did you mean `[UpdCommands]`? [UpdCommands] is on "
            "line 7: this header starts no section [section-name-misspelt]\n",
            Show({found[3]}));
  EXPECT_EQ(pxtool::Severity::kWarning, found[3].severity);
  found = CheckText(ArgText({"[Runtim]", "FWPATH=files", "[Commands]", "0 000 true", "[End]"}));
  ASSERT_EQ(2u, found.size()) << Show(found);
  EXPECT_EQ("section-name-misspelt", found[0].rule);
  EXPECT_EQ("command-without-flags", found[1].rule);
}

// With a limit the checker keeps the first findings by position, whatever
// order it finds them in, and counts them all. Here findings come late for
// early positions (a replaced flags line, placeholders before the flag
// words, the zero byte first), and three walks cross the same lines (the
// expert fallback, an update section that starts inside [Commands]): each
// finding is still counted once.
TEST_F(CheckTextTest, KeepsTheFirstFindingsByPositionAndCountsEachOnce) {
  pxtool::CheckInput& input = input_;
  input.text = ArgText({"[Runtime]", "FWPATH=files", "[Commands]", "0 000 flag abort_ne 0",
                        "0 000 flag bogus1 !{X} bogus2 !{Y}", "0 000 update true",
                        "# [UpdCommands] inside a comment", "0 000 true", "0 000 true",
                        "0 000 flag abort_ne 1 abort_ne", "[End]"}) +
               std::string("\0junk", 5);
  pxtool::CheckResult all = pxtool::CheckArgumentText(input);
  const std::vector<Diagnostic>& full = all.diagnostics;
  EXPECT_EQ(14u, full.size()) << Show(full);
  EXPECT_EQ(full.size(), all.Total());
  EXPECT_EQ(0u, all.Omitted());
  auto order = [](const Diagnostic& d) { return std::tie(d.line, d.column, d.rule, d.message); };
  for (size_t i = 1; i < full.size(); ++i)
    EXPECT_TRUE(order(full[i - 1]) < order(full[i])) << Show(full);  // sorted, no repeat
  for (size_t keep = 0; keep <= full.size(); ++keep) {
    pxtool::CheckResult some = pxtool::CheckArgumentText(input, keep);
    ASSERT_EQ(keep, some.diagnostics.size());
    EXPECT_EQ(Show(std::vector<Diagnostic>(full.begin(), full.begin() + keep)),
              Show(some.diagnostics));
    for (int s = 0; s < 3; ++s) EXPECT_EQ(all.counts[s], some.counts[s]) << keep;
    EXPECT_EQ(full.size() - keep, some.Omitted());
  }
}

// docs/check-rules.md lists the table: every rule under its own heading
// with its severity and the program's sentence, and nothing else.
TEST(CheckerTest, RulesDocumentMatchesTheTable) {
  std::string doc = ReadFile(kSource + "/docs/check-rules.md");
  for (const pxtool::Rule& rule : pxtool::Rules())
    EXPECT_TRUE(Contains(doc, std::string("## `") + rule.name + "` (" +
                                  pxtool::SeverityName(rule.severity) + ")\n\n" + rule.why + "\n"));
  EXPECT_EQ(pxtool::Rules().size(), Count(doc, "\n## `"));
}

// The source line lines up with its caret whatever bytes it holds, and a
// long one is a window around the column.
TEST(CheckerTest, SourceExcerptLinesUpTheCaret) {
  EXPECT_EQ("    7 | 0       00\\r \\x01\\xE4x\n      | " + std::string(21, ' ') + "^\n",
            pxtool::SourceExcerpt(std::string("0\t00\r \x01\xe4x", 9), 7, 9));
  EXPECT_EQ("    1 | ab\n      |   ^\n", pxtool::SourceExcerpt("ab", 1, 3));  // at the end
  std::string excerpt = pxtool::SourceExcerpt(std::string(500, 'a') + "X" + std::string(500, 'b'),
                                              123456, 501);
  EXPECT_EQ(0u, excerpt.find("123456 | ...aaa")) << excerpt;
  size_t second = excerpt.find('\n') + 1 + 9, caret = excerpt.rfind('^');  // after "| "
  EXPECT_EQ('X', excerpt[9 + caret - second]) << excerpt;
  EXPECT_TRUE(Contains(excerpt, "bbb...\n"));
}

class CheckCliTest : public testing::Test {
 protected:
  int Run(const std::vector<std::string>& args) {
    ProgramOptions options;
    options.cwd = kSource;
    r_ = RunProgram(std::string(QUILLON_BIN_DIR) + "/pxtool", args, options);
    return r_.exit_status;
  }
  ProgramResult r_;
};

TEST_F(CheckCliTest, ExitStatusAndTextLayout) {
  EXPECT_EQ(0, Run({"check", "examples/hello"}));
  EXPECT_EQ("0 errors, 0 warnings, 0 notes in 1 argument file\n", r_.out);
  EXPECT_EQ(1, Run({"check", "examples/traps"}));
  EXPECT_TRUE(Contains(r_.out, "examples/traps/pkg/px.arg:20:12: error: abort_ne needs a blank "
                               "before its value (\"abort_ne=0\"): the run does not set abort_ne "
                               "[flag-value-missing]\n"));
  EXPECT_TRUE(Contains(r_.out, "\n16 errors, 10 warnings, 1 note in 1 argument file\n"));
  // Each finding shows its line, the caret under its column.
  EXPECT_TRUE(Contains(r_.out, "[command-column-shifted]\n   44 | 0 00 sh install.sh eleven\n"
                               "      |   ^\n"));
  // Warnings alone pass, unless --strict.
  EXPECT_EQ(0, Run({"check", "examples/traps/basics/missing-dir.arg"}));
  EXPECT_EQ(1, Run({"check", "--strict", "examples/traps/basics/missing-dir.arg"}));
  EXPECT_EQ(1, Run({"check", "no-such-package"}));
  EXPECT_TRUE(Contains(r_.err, "no-such-package"));
  EXPECT_EQ(2, Run({"check"}));
  EXPECT_EQ(2, Run({"check", "--format", "xml", "examples/hello"}));
  EXPECT_EQ(0, Run({"check", "--list-rules"}));
  EXPECT_EQ(pxtool::Rules().size(), Count(r_.out, "\n"));
}

TEST_F(CheckCliTest, JsonAndSarif) {
  ASSERT_EQ(1, Run({"check", "--format", "json", "examples/hello", "examples/traps"}));
  nlohmann::json doc = quillon_test::ParsePxtoolJson(r_.out);
  ASSERT_EQ(2u, doc["files"].size());
  EXPECT_EQ("examples/hello/pkg/px.arg", doc["files"][0]["path"]);
  EXPECT_EQ(0, doc["files"][0]["errors"]);
  EXPECT_EQ(16, doc["files"][1]["errors"]);
  EXPECT_EQ(27u, doc["diagnostics"].size());
  EXPECT_EQ(16, doc["summary"]["errors"]);
  EXPECT_EQ(1, doc["summary"]["exit_status"]);

  // SARIF 2.1.0: the shape CI systems read.
  ASSERT_EQ(1, Run({"check", "--format=sarif", "examples/traps"}));
  nlohmann::json sarif = nlohmann::json::parse(r_.out);
  EXPECT_EQ("2.1.0", sarif["version"]);
  ASSERT_EQ(1u, sarif["runs"].size());
  const nlohmann::json& run = sarif["runs"][0];
  EXPECT_EQ("pxtool", run["tool"]["driver"]["name"]);
  EXPECT_TRUE(run["tool"]["driver"]["version"].is_string());
  const nlohmann::json& rules = run["tool"]["driver"]["rules"];
  ASSERT_EQ(pxtool::Rules().size(), rules.size());
  EXPECT_TRUE(rules[0]["shortDescription"]["text"].is_string());
  ASSERT_EQ(27u, run["results"].size());
  for (const nlohmann::json& result : run["results"]) {
    size_t index = result["ruleIndex"];
    EXPECT_EQ(rules[index]["id"], result["ruleId"]);
    EXPECT_TRUE(result["level"] == "error" || result["level"] == "warning" ||
                result["level"] == "note");
    EXPECT_TRUE(result["message"]["text"].is_string());
    const nlohmann::json& location = result["locations"][0]["physicalLocation"];
    EXPECT_EQ("examples/traps/pkg/px.arg", location["artifactLocation"]["uri"]);
    EXPECT_GE(location["region"]["startLine"].get<int>(), 1);
    EXPECT_GE(location["region"]["startColumn"].get<int>(), 1);
  }
}

// A file of a warning and 1200 errors: the default limit of 1000, another
// limit, none; the limit shared by the files in order; the counts and the
// exit status take in what is not shown.
TEST_F(CheckCliTest, MaxDiagnostics) {
  ScopedTempDir dir;
  std::string words;
  for (int i = 0; i < 1200; ++i) words += " x";
  std::string arg = dir / "px.arg";
  WriteFile(arg, ArgText({"[Runtime]", "FWPATH=nodir", "[Commands]", "0 000 flag" + words,
                          "0 000 true", "[End]"}));
  EXPECT_EQ(1, Run({"check", "--no-source", arg}));
  EXPECT_EQ(1001u, Count(r_.out, "\n"));
  EXPECT_TRUE(Contains(r_.out, "\n1200 errors, 1 warning, 0 notes in 1 argument file; 201 more "
                               "diagnostics not shown (--max-diagnostics 1000)\n"));
  EXPECT_EQ(1, Run({"check", "--max-diagnostics", "1", "--no-source", arg}));
  EXPECT_EQ(arg + ":2:8: warning: package directory \"nodir\" cannot be listed (No such file "
                  "or directory): a run stages no package files [fwpath-directory-missing]\n"
                  "1200 errors, 1 warning, 0 notes in 1 argument file; 1200 more diagnostics "
                  "not shown (--max-diagnostics 1)\n",
            r_.out);
  EXPECT_EQ(1, Run({"check", "--max-diagnostics=0", arg}));
  EXPECT_EQ(1 + 3 * 1201u, Count(r_.out, "\n"));
  EXPECT_EQ(std::string::npos, r_.out.find("not shown"));

  ASSERT_EQ(1, Run({"check", "--format", "json", arg, arg}));
  nlohmann::json doc = quillon_test::ParsePxtoolJson(r_.out);
  EXPECT_EQ(1000u, doc["diagnostics"].size());
  EXPECT_EQ(1200, doc["files"][0]["errors"]);
  EXPECT_EQ(201, doc["files"][0]["omitted"]);
  EXPECT_EQ(1200, doc["files"][1]["errors"]);
  EXPECT_EQ(1201, doc["files"][1]["omitted"]);
  EXPECT_EQ(2400, doc["summary"]["errors"]);
  EXPECT_EQ(1402, doc["summary"]["omitted"]);
  EXPECT_EQ(1000, doc["summary"]["max_diagnostics"]);

  ASSERT_EQ(1, Run({"check", "--format=sarif", "--max-diagnostics", "1", arg}));
  nlohmann::json run = nlohmann::json::parse(r_.out)["runs"][0];
  EXPECT_EQ(1u, run["results"].size());
  const nlohmann::json& invocation = run["invocations"][0];
  EXPECT_TRUE(invocation["executionSuccessful"].get<bool>());
  EXPECT_EQ("1200 more diagnostics not shown (--max-diagnostics 1)",
            invocation["toolExecutionNotifications"][0]["message"]["text"]);

  for (const char* bad : {"-1", "x", "", "1e3"})
    EXPECT_EQ(2, Run({"check", "--max-diagnostics", bad, arg})) << bad;
  EXPECT_EQ(2, Run({"check", arg, "--max-diagnostics"}));
}

}  // namespace
}  // namespace quillon_test
