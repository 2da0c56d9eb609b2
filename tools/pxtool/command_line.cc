#include "command_line.h"

#include <getopt.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace pxtool {

namespace {

// getopt_long's code for options[i]: above every character.
const int kFirstOption = 0x100;

// The option text up to a '=' ("--format" of "--format=json").
std::string NameOf(const char* element) {
  const char* equals = strchr(element, '=');
  return equals ? std::string(element, equals) : std::string(element);
}

// "text|json|svg" -> "text, json or svg".
std::string Alternatives(const char* value) {
  std::string text = value;
  size_t last = text.rfind('|');
  if (last != std::string::npos) text.replace(last, 1, " or ");
  for (size_t bar; (bar = text.find('|')) != std::string::npos;) text.replace(bar, 1, ", ");
  return text;
}

// Whether `word` is one of the alternatives of `value` ("text|json|svg").
bool IsAlternative(const char* value, const char* word) {
  return strchr(word, '|') == nullptr &&
         (std::string("|") + value + "|").find(std::string("|") + word + "|") !=
             std::string::npos;
}

// The option as the usage shows it: "--format text|json", "-reset V".
std::string Shown(const Option& o) {
  std::string text = o.kind == Option::kLong ? std::string("--") + o.name : o.name;
  if (o.value) text += std::string(" ") + o.value;
  return text;
}

}  // namespace

const Option* CommandLine::Find(const char* name) const {
  for (const Option* o = command_->options; o && o->name; ++o)
    if (o->kind == Option::kLong && strcmp(o->name, name) == 0) return o;
  // A name the table does not have is a mistake in pxtool itself.
  fprintf(stderr, "pxtool: %s: no option --%s in the table of commands\n", command_->name, name);
  abort();
}

bool CommandLine::Has(const char* name) const { return Last(name) != nullptr; }

const char* CommandLine::Last(const char* name) const {
  const Option* option = Find(name);
  for (auto it = options_.rbegin(); it != options_.rend(); ++it)
    if (it->first == option) return it->second.c_str();
  return nullptr;
}

std::vector<std::string> CommandLine::All(const char* name) const {
  const Option* option = Find(name);
  std::vector<std::string> values;
  for (const auto& given : options_)
    if (given.first == option) values.push_back(given.second);
  return values;
}

int CommandLine::UsageError(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  fprintf(stderr, "pxtool: %s: ", command_->name);
  vfprintf(stderr, format, args);
  fprintf(stderr, "\nTry 'pxtool %s --help'.\n", command_->name);
  va_end(args);
  return 2;
}

int ReadCommandLine(int argc, char** argv, CommandLine* line) {
  const Option* options = line->command_->options;
  // The run's words leave first, each with its value; a value of pxtool's
  // own given apart ("--format -n") stays with its option.
  std::vector<char*> args = {const_cast<char*>(line->command())};
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "--") == 0) {
      args.insert(args.end(), argv + i, argv + argc);
      break;
    }
    const Option* matched = nullptr;
    for (const Option* o = options; o && o->name; ++o) {
      bool word = o->kind == Option::kRunWord && strcmp(argv[i], o->name) == 0;
      bool apart = o->kind == Option::kLong && o->value && strncmp(argv[i], "--", 2) == 0 &&
                   strcmp(argv[i] + 2, o->name) == 0;
      if (word || apart) matched = o;
    }
    if (matched && matched->kind == Option::kRunWord) {
      line->runWords_.push_back(argv[i]);
      if (matched->value && i + 1 >= argc) return line->UsageError("%s needs a value", argv[i]);
      if (matched->value) line->runWords_.push_back(argv[++i]);
      continue;
    }
    args.push_back(argv[i]);
    if (matched && i + 1 < argc) args.push_back(argv[++i]);
  }

  std::vector<struct option> longs;
  for (const Option* o = options; o && o->name; ++o)
    if (o->kind == Option::kLong)
      longs.push_back({o->name, o->value ? required_argument : no_argument, nullptr,
                       kFirstOption + static_cast<int>(o - options)});
  longs.push_back({"help", no_argument, nullptr, 'h'});
  longs.push_back({nullptr, 0, nullptr, 0});
  const int count = static_cast<int>(args.size());
  args.push_back(nullptr);

  // '-': operands in place, in order; ':': a missing value is told apart.
  // optind 0 starts getopt_long afresh (its state is the C library's).
  opterr = 0;
  optind = 0;
  for (;;) {
    // Every option is a whole argument (no clusters of letters), so the
    // argument read is the one at optind before the call.
    const int at = optind == 0 ? 1 : optind;
    int index = -1;
    const int c = getopt_long(count, args.data(), "-:h", longs.data(), &index);
    if (c == -1) break;
    if (c == 1) {
      line->operands_.push_back(optarg);
      continue;
    }
    const char* element = args[at];
    const std::string name = NameOf(element);
    // The option getopt_long took the argument for, when it names one.
    int code = c == '?' || c == ':' ? optopt : c;
    const char* fullName = code == 'h' ? "help"
                           : code >= kFirstOption ? options[code - kFirstOption].name
                                                  : nullptr;
    bool exact = fullName && (name == std::string("--") + fullName || (code == 'h' && name == "-h"));
    // "-help" is read by getopt_long as -h followed by more letters.
    if (c == 'h' && optind == at) exact = false;
    if (!exact) return line->UsageError("unknown option '%s'", name.c_str());
    if (c == ':') return line->UsageError("option '%s' needs a value", name.c_str());
    if (c == '?') return line->UsageError("option '%s' takes no value", name.c_str());
    if (c == 'h') {
      PrintCommandUsage(*line->command_, stdout);
      return 0;
    }
    const Option& option = options[c - kFirstOption];
    if (option.value && strchr(option.value, '|') && !IsAlternative(option.value, optarg))
      return line->UsageError("%s takes %s, not '%s'", name.c_str(),
                              Alternatives(option.value).c_str(), optarg);
    line->options_.emplace_back(&option, option.value ? optarg : "");
  }
  for (int i = optind; i < count; ++i) line->operands_.push_back(args[i]);
  return kRunCommand;
}

void PrintIndented(const char* text, int indent, FILE* out) {
  for (const char* p = text; *p;) {
    const char* end = strchr(p, '\n');
    size_t size = end ? static_cast<size_t>(end - p) : strlen(p);
    fprintf(out, "%*s%.*s\n", indent, "", static_cast<int>(size), p);
    p += end ? size + 1 : size;
  }
}

void PrintSynopsis(const char* prefix, const Command& command, int indent, FILE* out) {
  const char* rest = strchr(command.synopsis, '\n');
  fprintf(out, "%s%.*s\n", prefix,
          static_cast<int>(rest ? rest - command.synopsis : strlen(command.synopsis)),
          command.synopsis);
  if (rest) PrintIndented(rest + 1, indent, out);
}

void PrintCommandUsage(const Command& command, FILE* out) {
  PrintSynopsis("Usage: pxtool ", command, 10, out);
  fputc('\n', out);
  PrintIndented(command.description, 2, out);
  size_t width = strlen("-h, --help");
  for (const Option* o = command.options; o && o->name; ++o)
    width = std::max(width, Shown(*o).size());
  fprintf(out, "\nOptions:\n");
  for (const Option* o = command.options; o && o->name; ++o)
    fprintf(out, "  %-*s  %s\n", static_cast<int>(width), Shown(*o).c_str(), o->help);
  fprintf(out, "  %-*s  %s\n", static_cast<int>(width), "-h, --help", "print this text");
}

}  // namespace pxtool
