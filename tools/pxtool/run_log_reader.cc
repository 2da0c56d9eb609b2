#include "run_log_reader.h"

#include <cstring>

namespace pxtool {

namespace {

// Whether the line starts with the literal `prefix` (its size known at
// compile time: the reader tests several prefixes on every line).
template <size_t N>
bool StartsWith(const char* line, size_t size, const char (&prefix)[N]) {
  return size >= N - 1 && memcmp(line, prefix, N - 1) == 0;
}

template <size_t N>
constexpr size_t Length(const char (&)[N]) {
  return N - 1;
}

bool AllStars(const char* line, size_t size) {
  if (size < 10) return false;
  for (size_t i = 0; i < size; ++i)
    if (line[i] != '*') return false;
  return true;
}

// Reads decimal digits at `text`; false when there are none.
bool ReadNumber(const char* text, size_t size, int base,
                unsigned long long* value) {
  unsigned long long v = 0;
  size_t i = 0;
  for (; i < size; ++i) {
    int digit;
    char c = text[i];
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else break;
    if (v > (~0ULL - static_cast<unsigned>(digit)) / static_cast<unsigned>(base))
      return false;  // too large to be anything the run writes
    v = v * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
  }
  if (i == 0) return false;
  *value = v;
  return true;
}

long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  long long era = (y >= 0 ? y : y - 399) / 400;
  unsigned yoe = static_cast<unsigned>(y - era * 400);
  unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

}  // namespace

// Whether a line starts a run's header block.
bool IsHeaderStart(const char* line, size_t size) {
  return StartsWith(line, size, "*********+*********+");
}

class RunLogParser::Reader {
 public:
  Reader(RunLog* log, const Retire* retire) : log_(log), retire_(retire) {}

  void Line(const char* line, size_t size, size_t number) {
    if (IsHeaderStart(line, size)) {
      NewRun(number);
      inHeader_ = true;
      headerStars_ = 0;
      return;
    }
    long long seconds = size > 19 && line[19] == '\t' ? Stamp(line) : -1;
    if (inHeader_) {
      if (seconds < 0) {
        Header(line, size);
        return;
      }
      inHeader_ = false;  // a header cut short: the events go on
    }
    if (seconds < 0) return;  // a continuation line, or a torn one
    LogTime when{seconds};
    Event(line + 20, size - 20, when, number);
  }

 private:
  // Adds a run; with a retire function, first hands over the oldest run
  // once it is out of reach of interleaved lines, and reuses its memory.
  void NewRun(size_t number) {
    std::vector<LoggedRun>& runs = log_->runs;
    std::vector<LoggedCommand> commands;
    std::shared_ptr<TextStore> texts;
    if (*retire_ && runs.size() == kRecentRuns) {
      ++log_->retired;
      (*retire_)(runs.front(), log_->retired);
      commands = std::move(runs.front().commands);
      commands.clear();
      if (runs.front().texts.use_count() == 1) {
        texts = std::move(runs.front().texts);
        texts->Clear();
      }
      runs.erase(runs.begin());
    }
    runs.emplace_back();
    runs.back().logLine = number;
    runs.back().commands = std::move(commands);
    runs.back().texts = texts ? std::move(texts) : std::make_shared<TextStore>();
  }

  // ParseLogStamp of the 19 characters at `line`; the lines of a run
  // mostly share their stamp, so the last one is remembered.
  long long Stamp(const char* line) {
    if (lastKnown_ && memcmp(line, last_, sizeof(last_)) == 0) return lastSeconds_;
    memcpy(last_, line, sizeof(last_));
    lastKnown_ = true;
    lastSeconds_ = ParseLogStamp(line, sizeof(last_));
    return lastSeconds_;
  }

  void Header(const char* line, size_t size) {
    LoggedRun& run = log_->runs.back();
    if (AllStars(line, size)) {
      if (++headerStars_ == 2) {
        run.headerComplete = true;
        inHeader_ = false;
      }
    } else if (StartsWith(line, size, "**       Quillon V")) {
      const char* at = static_cast<const char*>(
          memmem(line, size, " Log ", 5));
      if (at != nullptr) {
        size_t rest = size - static_cast<size_t>(at + 5 - line);
        run.started.seconds = ParseLogStamp(at + 5, rest);
      }
    } else if (StartsWith(line, size, "** Arg [")) {
      const char* at = static_cast<const char*>(memmem(line, size, "]: ", 3));
      if (at != nullptr)
        run.args.emplace_back(at + 3, size - static_cast<size_t>(at + 3 - line));
    } else if (StartsWith(line, size, "** working directory: \"")) {
      size_t n = Length("** working directory: \"");
      size_t end = size > n && line[size - 1] == '"' ? size - 1 : size;
      run.workingDirectory.assign(line + n, end - n);
    }
  }

  // The newest of the recent runs for which `fits` holds, else the newest.
  template <typename Fits>
  LoggedRun& Target(Fits fits) {
    std::vector<LoggedRun>& runs = log_->runs;
    size_t stop = runs.size() > kRecentRuns ? runs.size() - kRecentRuns : 0;
    for (size_t i = runs.size(); i > stop; --i)
      if (fits(runs[i - 1])) return runs[i - 1];
    return runs.back();
  }

  static LoggedCommand* Open(LoggedRun& run) {
    if (run.commands.empty() || run.commands.back().judged) return nullptr;
    return &run.commands.back();
  }

  void Event(const char* text, size_t size, const LogTime& when,
             size_t number) {
    if (log_->runs.empty()) {  // lines before the first header
      NewRun(number);
      log_->runs.back().headerMissing = true;
      log_->runs.back().started = when;
    }
    auto notEnded = [](LoggedRun& r) { return !r.ended; };
    if (StartsWith(text, size, "exec command <")) {
      LoggedRun& run = Target([](LoggedRun& r) { return !r.ended && !Open(r); });
      LoggedCommand command;
      size_t n = Length("exec command <");
      size_t end = text[size - 1] == '>' ? size - 1 : size;
      command.text = run.texts->Keep(text + n, end > n ? end - n : 0);
      command.logLine = number;
      command.started = when;
      run.commands.push_back(std::move(command));
      Seen(run, when);
      return;
    }
    bool returned = StartsWith(text, size, " . . . returned ");
    if (returned || StartsWith(text, size, " . . . skipped ")) {
      LoggedRun& run = Target([](LoggedRun& r) {
        LoggedCommand* c = Open(r);
        return c != nullptr && !c->returned;
      });
      size_t n = returned ? Length(" . . . returned ") : Length(" . . . skipped ");
      LoggedCommand* command = Open(run);
      if (command != nullptr &&
          ReadNumber(text + n, size - n, 10, &command->returnCode)) {
        command->returned = true;
        command->skipped = !returned;
        command->ended = when;
      }
      Seen(run, when);
      return;
    }
    if (StartsWith(text, size, "Executed command: \"")) {
      static const char kRetcode[] = "\" Retcode: ";
      const size_t n = Length("Executed command: \""), k = Length(kRetcode);
      // The last "\" Retcode: " ends the text (the text may hold one too).
      size_t at = std::string::npos;
      for (size_t i = size; i >= n + k; --i)
        if (memcmp(text + i - k, kRetcode, k) == 0) {
          at = i - k;
          break;
        }
      size_t shownSize = (at == std::string::npos ? size : at) - n;
      const char* shown = text + n;
      LoggedRun& run = Target([shown, shownSize](LoggedRun& r) {
        LoggedCommand* c = Open(r);
        return c != nullptr && c->text.size() == shownSize &&
               (shownSize == 0 || memcmp(c->text.data(), shown, shownSize) == 0);
      });
      LoggedCommand* command = Open(run);
      unsigned long long value = 0;
      if (command != nullptr && at != std::string::npos) {
        const char* digits = text + at + k;
        size_t left = size - at - k;
        bool negative = left > 0 && *digits == '-';
        if (ReadNumber(digits + negative, left - negative, 10, &value)) {
          command->judged = true;
          command->verdict = negative ? -static_cast<long long>(value)
                                      : static_cast<long long>(value);
          command->ended = when;
        }
      }
      Seen(run, when);
      return;
    }
    if (StartsWith(text, size, "Quillon return code: 0x")) {
      LoggedRun& run = Target(notEnded);
      size_t n = Length("Quillon return code: 0x");
      if (ReadNumber(text + n, size - n, 16, &run.finalCode)) {
        run.ended = true;
        run.endedAt = when;
      }
      Seen(run, when);
      return;
    }
    LoggedRun& run = Target(notEnded);
    Seen(run, when);
    if (StartsWith(text, size, "Update status file ")) {
      if (memmem(text, size, "Exit Status: 4,", 15) != nullptr) {
        run.rebootRequested = true;
        if (LoggedCommand* command = Open(run)) command->rebootRequested = true;
      }
    } else if (StartsWith(text, size, "Use command section ")) {
      size_t n = Length("Use command section ");
      run.section.assign(text + n, size - n);
    } else if (StartsWith(text, size, "Use fallback command section ")) {
      size_t n = Length("Use fallback command section ");
      std::string rest(text + n, size - n);
      run.section = rest.substr(0, rest.find(' '));
      run.fallback = true;
    } else if (StartsWith(text, size, "ERROR")) {
      if (run.errors.size() < kMaxErrors) run.errors.emplace_back(text, size);
      LoggedCommand* command = Open(run);
      if (command != nullptr && command->error.empty())
        command->error = run.texts->Keep(text, size);
    }
  }

  static void Seen(LoggedRun& run, const LogTime& when) { run.lastSeen = when; }

  RunLog* log_;
  const Retire* retire_;
  bool inHeader_ = false;
  int headerStars_ = 0;
  char last_[19];
  bool lastKnown_ = false;
  long long lastSeconds_ = -1;
};

std::string_view TextStore::Keep(const char* data, size_t size) {
  if (size == 0) return std::string_view();
  const size_t kFirst = 1024, kLargest = 64 * 1024;
  for (;; ++current_, used_ = 0) {
    if (current_ == blocks_.size()) {
      size_t block = blocks_.empty() ? kFirst : std::min(kLargest, 2 * sizes_.back());
      block = std::max(block, size);
      blocks_.emplace_back(new char[block]);
      sizes_.push_back(block);
    }
    if (sizes_[current_] - used_ >= size) break;
  }
  char* at = blocks_[current_].get() + used_;
  memcpy(at, data, size);
  used_ += size;
  return std::string_view(at, size);
}

void TextStore::Clear() {
  current_ = 0;
  used_ = 0;
}

long long ParseLogStamp(const char* t, size_t size) {
  if (size < 19) return -1;
  static const char kShape[] = "dddd/dd/dd dd:dd:dd";
  for (size_t i = 0; i < 19; ++i) {
    bool digit = t[i] >= '0' && t[i] <= '9';
    if (kShape[i] == 'd' ? !digit : t[i] != kShape[i]) return -1;
  }
  auto num = [t](size_t at, size_t n) {
    unsigned v = 0;
    for (size_t i = 0; i < n; ++i) v = v * 10 + static_cast<unsigned>(t[at + i] - '0');
    return v;
  };
  unsigned month = num(5, 2), day = num(8, 2), hour = num(11, 2),
           minute = num(14, 2), second = num(17, 2);
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || second > 60)
    return -1;
  long long days = DaysFromCivil(num(0, 4), month, day);
  if (days < 0) return -1;
  return days * 86400 + hour * 3600 + minute * 60 + second;
}

RunLogParser::RunLogParser(Retire retire)
    : retire_(std::move(retire)), reader_(new Reader(&log_, &retire_)) {}
RunLogParser::~RunLogParser() = default;

void RunLogParser::Feed(const char* data, size_t size) {
  if (size > 0) any_ = true;
  const char* end = data + size;
  const char* line = data;
  while (line < end) {
    const char* lf = static_cast<const char*>(
        memchr(line, '\n', static_cast<size_t>(end - line)));
    if (lf == nullptr) {
      carry_.append(line, static_cast<size_t>(end - line));
      return;
    }
    ++number_;
    if (carry_.empty()) {
      reader_->Line(line, static_cast<size_t>(lf - line), number_);
    } else {
      carry_.append(line, static_cast<size_t>(lf - line));
      reader_->Line(carry_.data(), carry_.size(), number_);
      carry_.clear();
    }
    line = lf + 1;
  }
}

RunLog RunLogParser::Finish() {
  if (any_) {  // the text after the last line feed is a line too
    ++number_;
    reader_->Line(carry_.data(), carry_.size(), number_);
    carry_.clear();
  }
  log_.lines = number_;
  any_ = false;
  RunLog log = std::move(log_);
  log_ = RunLog();
  return log;
}

void RunCounter::Feed(const char* data, size_t size) {
  if (size > 0) any_ = true;
  const char* end = data + size;
  const char* line = data;
  while (line < end) {
    const char* lf = static_cast<const char*>(
        memchr(line, '\n', static_cast<size_t>(end - line)));
    if (lf == nullptr) {
      // Only the start of a line matters: 20 characters are kept.
      if (start_.size() < 20)
        start_.append(line, std::min<size_t>(20 - start_.size(),
                                             static_cast<size_t>(end - line)));
      start_carried_ = true;
      return;
    }
    if (!start_carried_) {
      Line(line, static_cast<size_t>(lf - line));
    } else {
      if (start_.size() < 20)
        start_.append(line, std::min<size_t>(20 - start_.size(),
                                             static_cast<size_t>(lf - line)));
      Line(start_.data(), start_.size());
      start_.clear();
      start_carried_ = false;
    }
    line = lf + 1;
  }
}

size_t RunCounter::Finish() {
  if (any_) Line(start_.data(), start_.size());
  start_.clear();
  start_carried_ = false;
  any_ = false;
  return runs_;
}

void RunCounter::Line(const char* line, size_t size) {
  if (IsHeaderStart(line, size)) {
    ++runs_;
    header_ = true;
  } else if (!header_ && !orphans_ && size > 19 && line[19] == '\t' &&
             ParseLogStamp(line, size) >= 0) {
    ++runs_;  // RunLogParser makes a run of lines before the first header
    orphans_ = true;
  }
}

RunLog ReadRunLog(const char* data, size_t size) {
  RunLogParser parser;
  parser.Feed(data, size);
  return parser.Finish();
}

}  // namespace pxtool
