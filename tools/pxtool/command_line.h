// pxtool's command-line frame: the description of a subcommand (its usage
// and its options) and the reading of its arguments by that description,
// the same way for every subcommand.
//
// Reading (ReadCommandLine), built on getopt_long:
//   - Options are long: "--NAME VALUE" and "--NAME=VALUE" alike; "-h" and
//     "--help" print the subcommand's usage. A name must be given in full:
//     getopt_long's abbreviations ("--form" for "--format") are refused, so
//     that a script's words keep their meaning when an option is added.
//   - Options and operands mix in any order ("status PKG --format json" as
//     well as "status --format json PKG"); "--" ends the options. The
//     option string begins with '-': getopt_long hands the operands over in
//     place instead of permuting argv, and neither POSIXLY_CORRECT nor the
//     order of the words changes what is read.
//   - A subcommand that takes Quillon's own command line (plan) lists the
//     run's words as options of the kind kRunWord ("-update", "-reset" with
//     a value, "autonomic"). They are taken out, exactly as written, before
//     getopt_long looks at the arguments, and handed over in their order;
//     getopt_long would otherwise read "-update" as the letters -u -p -d...
//   - A usage error (an unknown option, a missing value, a value outside the
//     option's alternatives) is one line on standard error, "pxtool: CMD:
//     ...", then the hint "Try 'pxtool CMD --help'."; exit status 2.
//
// A new subcommand is one entry of the table in pxtool_main.cc and an array
// of its options, for example
//
//   const Option kFmtOptions[] = {
//       {"check", nullptr, "only say whether the file would change"}, {}};
//   {"fmt", "fmt PACKAGE_DIR [ARGUMENT_FILE] [--check]",
//    "rewrite the argument file in its canonical layout", kFmtOptions, RunFmt},
//
// and a function `int RunFmt(const CommandLine& line)` that asks the line for
// what it needs: line.Has("check"), line.Last("format"), line.operands(),
// LocateNamedPackage(line, ...) for a package. Values are checked there,
// but for alternatives ("text|json|openmetrics"), which the frame checks.
// Nothing else is registered anywhere: usage, --help and `pxtool help
// COMMAND` come from the entry.

#ifndef TOOLS_PXTOOL_COMMAND_LINE_H_
#define TOOLS_PXTOOL_COMMAND_LINE_H_

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace pxtool {

// One option of a subcommand. An array of them ends with an empty entry
// ({}).
struct Option {
  enum Kind {
    kLong,     // --NAME [VALUE]
    kRunWord,  // a word of Quillon's command line, NAME as it is written
  };
  const char* name;   // without "--" for kLong
  // The value's name in the usage; null: the option takes none. Written as
  // alternatives ("text|json"), only those words are accepted.
  const char* value;
  const char* help;  // one line of the usage
  Kind kind = kLong;
};

class CommandLine;

// A subcommand: its usage texts and what runs it. Lines of the synopsis and
// the description are separated by '\n'; the usage indents them.
struct Command {
  const char* name;
  const char* synopsis;  // begins with the name
  const char* description;
  const Option* options;  // ends with {}
  int (*run)(const CommandLine& line);
};

// The arguments of a subcommand as read.
class CommandLine {
 public:
  explicit CommandLine(const Command& command) : command_(&command) {}

  const char* command() const { return command_->name; }
  // The operands (not options), in order.
  const std::vector<std::string>& operands() const { return operands_; }
  // The run's words (Option::kRunWord) with their values, in order.
  const std::vector<std::string>& runWords() const { return runWords_; }

  // Whether --NAME was given; its last value (null when not given); every
  // value in order. NAME must be an option of the command.
  bool Has(const char* name) const;
  const char* Last(const char* name) const;
  std::vector<std::string> All(const char* name) const;

  // Prints "pxtool: CMD: <message>" and the hint to the command's --help on
  // standard error; returns 2.
  int UsageError(const char* format, ...) const __attribute__((format(printf, 2, 3)));

 private:
  friend int ReadCommandLine(int argc, char** argv, CommandLine* line);
  const Option* Find(const char* name) const;

  const Command* command_;
  std::vector<std::string> operands_, runWords_;
  std::vector<std::pair<const Option*, std::string>> options_;
};

// What ReadCommandLine returns when the command is to run.
const int kRunCommand = -1;

// Reads `argv` (the arguments after the subcommand's name) into `line` by
// its command's options. Returns kRunCommand; 0 after printing the usage on
// standard output (-h, --help); or 2 after a usage error.
int ReadCommandLine(int argc, char** argv, CommandLine* line);

// Prints the usage of `command`: synopsis, description, one line per
// option.
void PrintCommandUsage(const Command& command, FILE* out);

// Prints `prefix` and the first line of the command's synopsis, then its
// other lines with `indent` blanks before each.
void PrintSynopsis(const char* prefix, const Command& command, int indent, FILE* out);

// Prints `text` with `indent` blanks before each of its lines.
void PrintIndented(const char* text, int indent, FILE* out);

}  // namespace pxtool

#endif  // TOOLS_PXTOOL_COMMAND_LINE_H_
