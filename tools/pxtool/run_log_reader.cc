#include "run_log_reader.h"

#include <cstdint>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "run_log.h"

namespace pxtool {

namespace {

// Whether the line starts with `prefix`, one of the texts of run_log.h
// (constants: the reader tests several of them on every line).
bool StartsWith(const char* line, size_t size, std::string_view prefix) {
  return size >= prefix.size() && memcmp(line, prefix.data(), prefix.size()) == 0;
}

static_assert(kLogReturned[0] == kLogSkipped[0], "one case for both results");

// Whether the line ends with `suffix`.
bool EndsWith(const char* line, size_t size, std::string_view suffix) {
  return size >= suffix.size() &&
         memcmp(line + size - suffix.size(), suffix.data(), suffix.size()) == 0;
}

// A line of stars, as QUILLON_LOG_HEADER_STARS (or a torn one).
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
    if (__builtin_mul_overflow(v, static_cast<unsigned>(base), &v) ||
        __builtin_add_overflow(v, static_cast<unsigned>(digit), &v))
      return false;  // too large to be anything the run writes
  }
  if (i == 0) return false;
  *value = v;
  return true;
}

// Calls `at(lf)` for each line feed in the `size` bytes at `data`, in
// order. A large log is split on some 300,000 line feeds: 64 bytes are
// compared at a time and the line feeds among them taken as bits, which
// spares a library call, and its mispredicted end, per line.
template <typename At>
void ForEachLineFeed(const char* data, size_t size, At at) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i feed = _mm_set1_epi8('\n');
  for (; i + 64 <= size; i += 64) {
    uint64_t bits = 0;
    for (int k = 0; k < 4; ++k) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 16 * k));
      uint32_t found = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, feed)));
      bits |= static_cast<uint64_t>(found) << (16 * k);
    }
    for (; bits != 0; bits &= bits - 1) at(data + i + __builtin_ctzll(bits));
  }
#endif
  const char* end = data + size;
  for (const char* p = data + i; p < end; ++p) {
    p = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    if (p == nullptr) break;
    at(p);
  }
}

}  // namespace

class RunLogParser::Reader {
 public:
  Reader(RunLog* log, const Retire* retire) : log_(log), retire_(retire) {}

  void Line(const char* line, size_t size, size_t number) {
    if (StartsWith(line, size, kLogHeaderStart)) {  // a run's header block
      NewRun(number);
      inHeader_ = true;
      headerStars_ = 0;
      return;
    }
    const size_t k = kLogTimeStampLength;
    long long seconds = size > k && line[k] == '\t' ? Stamp(line) : -1;
    if (inHeader_) {
      if (seconds < 0) {
        Header(line, size);
        return;
      }
      inHeader_ = false;  // a header cut short: the events go on
    }
    if (seconds < 0) return;  // a continuation line, or a torn one
    LogTime when{seconds};
    Event(line + k + 1, size - k - 1, when, number);
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
      size_t count = runs.front().commands.size();
      (*retire_)(runs.front(), log_->retired);
      commands = std::move(runs.front().commands);
      commands.clear();
      commands.reserve(count);  // when `retire` took them: as many again
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

  // ParseLogStamp of the kLogTimeStampLength characters at `line`; the lines of a run
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
    } else if (StartsWith(line, size, kLogHeaderTitle)) {
      const size_t k = kLogHeaderTitleTime.size();
      const char* at = static_cast<const char*>(
          memmem(line, size, kLogHeaderTitleTime.data(), k));
      if (at != nullptr) {
        size_t rest = size - static_cast<size_t>(at + k - line);
        run.started.seconds = ParseLogStamp(at + k, rest);
      }
    } else if (StartsWith(line, size, kLogHeaderArg)) {
      const size_t k = kLogHeaderArgValue.size();
      const char* at = static_cast<const char*>(
          memmem(line, size, kLogHeaderArgValue.data(), k));
      if (at != nullptr)
        run.args.emplace_back(at + k, size - static_cast<size_t>(at + k - line));
    } else if (StartsWith(line, size, kLogHeaderDirectory)) {
      size_t n = kLogHeaderDirectory.size();
      size_t end = size > n && EndsWith(line, size, kLogHeaderDirectoryEnd)
                       ? size - kLogHeaderDirectoryEnd.size()
                       : size;
      run.workingDirectory.assign(line + n, end - n);
    }
  }

  // The newest of the recent runs for which `fits` holds, else the newest.
  // Nearly always the newest fits: it is tried first, the loop only then.
  template <typename Fits>
  LoggedRun& Target(Fits fits) {
    std::vector<LoggedRun>& runs = log_->runs;
    if (fits(runs.back())) return runs.back();
    size_t stop = runs.size() > kRecentRuns ? runs.size() - kRecentRuns : 0;
    for (size_t i = runs.size() - 1; i > stop; --i)
      if (fits(runs[i - 1])) return runs[i - 1];
    return runs.back();
  }

  static LoggedCommand* Open(LoggedRun& run) {
    if (run.commands.empty() || run.commands.back().judged) return nullptr;
    return &run.commands.back();
  }

  // One time-stamped line. The kinds a run writes for every command come
  // first, told apart by their first character (a result's two kinds
  // share theirs); the rest (a few per run) are read out of line, so the
  // per-line path stays short.
  void Event(const char* text, size_t size, const LogTime& when,
             size_t number) {
    if (log_->runs.empty()) Orphans(when, number);
    switch (size > 0 ? text[0] : '\0') {
      case kLogExecCommand[0]:
        if (StartsWith(text, size, kLogExecCommand)) return Exec(text, size, when, number);
        break;
      case kLogReturned[0]:
        if (StartsWith(text, size, kLogReturned))
          return Result(text + kLogReturned.size(), size - kLogReturned.size(), false, when);
        if (StartsWith(text, size, kLogSkipped))
          return Result(text + kLogSkipped.size(), size - kLogSkipped.size(), true, when);
        break;
      case kLogExecuted[0]:
        if (StartsWith(text, size, kLogExecuted)) return Executed(text, size, when);
        break;
      case kLogFinalCode[0]:
        if (StartsWith(text, size, kLogFinalCode)) return Final(text, size, when);
        break;
    }
    Other(text, size, when);
  }

  // Lines before the log's first header form a run of their own.
  __attribute__((noinline)) void Orphans(const LogTime& when, size_t number) {
    NewRun(number);
    log_->runs.back().headerMissing = true;
    log_->runs.back().started = when;
  }

  void Exec(const char* text, size_t size, const LogTime& when, size_t number) {
    LoggedRun& run = Target([](LoggedRun& r) { return !r.ended && !Open(r); });
    // Copied from a blank one made once and then filled in place: one
    // built aside costs a stall per line (its fields stored one by one,
    // then read back whole), and so does clearing it with a string
    // instruction.
    static const LoggedCommand kBlank;
    run.commands.push_back(kBlank);
    LoggedCommand& command = run.commands.back();
    size_t n = kLogExecCommand.size();
    size_t end = EndsWith(text, size, kLogExecCommandEnd) ? size - kLogExecCommandEnd.size() : size;
    command.text = run.texts->Keep(text + n, end > n ? end - n : 0);
    command.logLine = number;
    command.started = when;
    Seen(run, when);
  }

  // " . . . returned N" or " . . . skipped N": `digits` is N.
  void Result(const char* digits, size_t size, bool skipped, const LogTime& when) {
    LoggedRun& run = Target([](LoggedRun& r) {
      LoggedCommand* c = Open(r);
      return c != nullptr && !c->returned;
    });
    LoggedCommand* command = Open(run);
    if (command != nullptr && ReadNumber(digits, size, 10, &command->returnCode)) {
      command->returned = true;
      command->skipped = skipped;
      command->ended = when;
    }
    Seen(run, when);
  }

  void Executed(const char* text, size_t size, const LogTime& when) {
    const std::string_view kRetcode = kLogExecutedResult;
    const size_t n = kLogExecuted.size(), k = kRetcode.size();
    // The last "\" Retcode: " ends the text (the text may hold one too).
    size_t at = std::string::npos;
    for (size_t i = size; i >= n + k; --i)
      if (memcmp(text + i - k, kRetcode.data(), k) == 0) {
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
  }

  void Final(const char* text, size_t size, const LogTime& when) {
    LoggedRun& run = Target([](LoggedRun& r) { return !r.ended; });
    size_t n = kLogFinalCode.size();
    if (ReadNumber(text + n, size - n, 16, &run.finalCode)) {
      run.ended = true;
      run.endedAt = when;
    }
    Seen(run, when);
  }

  __attribute__((noinline)) void Other(const char* text, size_t size, const LogTime& when) {
    LoggedRun& run = Target([](LoggedRun& r) { return !r.ended; });
    Seen(run, when);
    if (StartsWith(text, size, kLogStatusUpdate)) {
      // The status a reboot request writes.
      static const std::string kReboot =
          std::string(kLogStatusUpdateStatus) + "4" + std::string(kLogStatusUpdateRetval);
      if (memmem(text, size, kReboot.data(), kReboot.size()) != nullptr) {
        run.rebootRequested = true;
        if (LoggedCommand* command = Open(run)) command->rebootRequested = true;
      }
    } else if (StartsWith(text, size, kLogSection)) {
      size_t n = kLogSection.size();
      run.section.assign(text + n, size - n);
    } else if (StartsWith(text, size, kLogFallbackSection)) {
      size_t n = kLogFallbackSection.size();
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
  char last_[kLogTimeStampLength];
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

RunLogParser::RunLogParser(Retire retire)
    : retire_(std::move(retire)), reader_(new Reader(&log_, &retire_)) {}
RunLogParser::~RunLogParser() = default;

void RunLogParser::Feed(const char* data, size_t size) {
  if (size > 0) any_ = true;
  const char* line = data;
  ForEachLineFeed(data, size, [&](const char* lf) {
    ++number_;
    if (carry_.empty()) {
      reader_->Line(line, static_cast<size_t>(lf - line), number_);
    } else {
      carry_.append(line, static_cast<size_t>(lf - line));
      reader_->Line(carry_.data(), carry_.size(), number_);
      carry_.clear();
    }
    line = lf + 1;
  });
  carry_.append(line, static_cast<size_t>(data + size - line));
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

RunLog ReadRunLog(const char* data, size_t size) {
  RunLogParser parser;
  parser.Feed(data, size);
  return parser.Finish();
}

}  // namespace pxtool
