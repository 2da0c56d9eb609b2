#include "run_history.h"

#include <syslog.h>

#include <exception>

#include "outcome_words.h"

namespace {

long long MsSince(const struct timespec& start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (static_cast<long long>(now.tv_sec) - start.tv_sec) * 1000 +
         (now.tv_nsec - start.tv_nsec) / 1000000;
}

// Does `record` when `history` is recording; a lack of memory meanwhile
// ends the record (RunHistory throws nothing).
template <typename Record>
void Recorded(RunHistory* history, Record record) {
  if (!history->Recording()) return;
  try {
    record();
  } catch (const std::exception&) {
    history->NotRecorded("out of memory");
  }
}

}  // namespace

void RunHistory::Report(const HistoryError& error) {
  if (reported_) return;
  reported_ = true;
  log_.Report(LOG_WARNING, "history %s - the run goes on, its record there is incomplete",
              error.what.c_str());
}

void RunHistory::NotRecorded(const char* why) {
  if (directory_ == nullptr || *directory_ == '\0') return;
  if (!reported_) {
    reported_ = true;
    log_.Report(LOG_WARNING, "history %s/%s: %s - the run goes on, its record there is incomplete",
                directory_, kHistoryFileName, why);
  }
  db_.Close();
}

void RunHistory::Start(const HistoryRun& run) {
  if (directory_ == nullptr || *directory_ == '\0') return;
  try {
    run_ = run;
    run_.id = 0;
    HistoryError error;
    std::string aside;
    if (!db_.OpenForWriting(directory_, &aside, &error)) {
      Report(error);
      db_.Close();
      return;
    }
    if (!aside.empty()) {
      reported_ = true;
      log_.Report(LOG_WARNING, "history %s was corrupt: set aside as %s, a new one begun",
                  db_.path().c_str(), aside.c_str());
    }
    Write();
  } catch (const std::exception&) {
    NotRecorded("out of memory");
  }
}

bool RunHistory::Write() {
  if (!db_.IsOpen()) return false;
  HistoryError error;
  bool ok = db_.Begin(&error);
  const bool inserting = run_.id == 0;
  if (ok && inserting) {
    long long id = 0;
    ok = db_.InsertRun(run_, &id, &error);
    if (ok && run_.lockHeld)
      ok = db_.MarkInterrupted(run_.argFile, id, run_.startedMs, &error);
    if (ok) ok = db_.Prune(kHistoryKeptRuns, nullptr, &error);
    if (ok) run_.id = id;
  } else if (ok && factsHeld_) {
    ok = db_.UpdateRunFacts(run_, &error);
  }
  for (size_t i = 0; ok && i < held_.size(); ++i) ok = db_.PutCommand(run_.id, held_[i], &error);
  if (ok && endHeld_) ok = db_.EndRun(run_, &error);
  if (ok) ok = db_.Commit(&error);
  if (!ok) {
    db_.Rollback();
    if (inserting) run_.id = 0;
    // Another process's transaction: what is held goes with the next write,
    // unless this was the last.
    if (error.kind != HistoryError::kBusy || endHeld_) Report(error);
    // A corrupt or newer database takes nothing more from this run.
    if (error.kind == HistoryError::kCorrupt || error.kind == HistoryError::kNewer) db_.Close();
    return false;
  }
  factsHeld_ = false;
  endHeld_ = false;
  held_.clear();
  return true;
}

void RunHistory::SetDigest(const std::string& digest) {
  Recorded(this, [&] {
    run_.digest = digest;
    factsHeld_ = true;
  });
}

void RunHistory::SetSigner(const std::string& keyId, const std::string& trustedComment) {
  Recorded(this, [&] {
    run_.keyId = keyId;
    run_.trustedComment = trustedComment;
    factsHeld_ = true;
  });
}

void RunHistory::SetSection(const std::string& key) {
  if (key == run_.section) return;
  Recorded(this, [&] {
    run_.section = key;
    factsHeld_ = true;
  });
}

HistoryCommand* RunHistory::Current() {
  if (!held_.empty() && held_.back().seq == current_.seq) return &held_.back();
  held_.push_back(current_);
  return &held_.back();
}

void RunHistory::LineTaken(long long line, const std::string& text, bool runs) {
  Recorded(this, [&] {
    current_ = HistoryCommand();
    current_.seq = ++lines_;
    current_.line = line;
    current_.text = text;
    current_.startedMs = HistoryNowMs();
    clock_gettime(CLOCK_MONOTONIC, &currentStart_);
    Current();
    if (runs) Write();
  });
}

void RunHistory::LineReturned(unsigned int returnCode) {
  if (current_.seq == 0) return;
  Recorded(this, [&] {
    current_.durationMs = MsSince(currentStart_);
    current_.returnCode = returnCode;
    current_.verdict = "error";
    *Current() = current_;
  });
}

void RunHistory::LineJudged(const char* verdict, unsigned int returnCode) {
  if (current_.seq == 0) return;
  Recorded(this, [&] {
    if (!current_.durationMs) current_.durationMs = MsSince(currentStart_);
    current_.returnCode = returnCode;
    current_.verdict = verdict;
    *Current() = current_;
  });
}

void RunHistory::End(unsigned int finalCode, bool autonomic) {
  Recorded(this, [&] {
    run_.endedMs = HistoryNowMs();
    run_.finalCode = finalCode;
    run_.verdict = DescribeFinalCode(finalCode, autonomic).verdict;
    run_.reboot = RebootWords(finalCode, autonomic);
    endHeld_ = true;
    Write();
  });
  db_.Close();
}
