#include "package_state.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "cmdline_options.h"
#include "command_group.h"
#include "run_log.h"
#include "safe_file.h"
#include "status_file.h"

namespace pxtool {

namespace {

std::string Join(const std::string& dir, const char* name) {
  return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

}  // namespace

bool FindLatestStatusFile(const PackageLocation& where,
                          std::vector<FoundStatusFile>* found,
                          std::string* error) {
  found->clear();
  // The execution directory's first: it wins a tie.
  std::string paths[2] = {Join(where.ArgDir(), kStatusFileName),
                          Join(where.dir, kStatusFileName)};
  struct stat seen[2];
  for (int i = 0; i < 2; ++i) {
    const std::string& path = paths[i];
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) continue;
      *error = path + ": " + strerror(errno);
      return false;
    }
    if (i == 1 && !found->empty() && seen[0].st_dev == st.st_dev &&
        seen[0].st_ino == st.st_ino)
      continue;  // one directory: the same file
    std::string text;
    if (!ReadPackageFile(path, kMaxStatusFileSize, where.dir, &text, error))
      return false;
    FoundStatusFile file;
    file.path = path;
    std::string why;
    if (!ParseStatusFile(text, &file.content, &why)) {
      *error = path + ": not a status file: " +
               (text.empty() ? std::string("empty") : why);
      return false;
    }
    file.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL +
                   st.st_mtim.tv_nsec;
    seen[found->size()] = st;
    found->push_back(file);
  }
  if (found->size() == 2 && (*found)[1].mtimeNs > (*found)[0].mtimeNs)
    std::swap((*found)[0], (*found)[1]);
  return true;
}

pid_t StillRunningCommand(const PackageLocation& where) {
  std::string path = Join(where.ArgDir(), kGroupRecordName), text, error;
  CommandGroup group;
  if (!ReadPackageFile(path, 256, where.dir, &text, &error) ||
      !ParseCommandGroup(text, &group) || !CommandGroupRuns(group))
    return 0;
  return group.pid;
}

bool ReadPackageRunLog(const PackageLocation& where, RunLog* log, std::string* error) {
  std::string path = Join(where.dir, kRunLogName);
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    *log = RunLog();
    return true;
  }
  RunLogParser parser;
  if (!ReadPackageFileInPieces(
          path, kMaxRunLogSize, where.dir,
          [&parser](const char* data, size_t size) { parser.Feed(data, size); },
          error))
    return false;
  *log = parser.Finish();
  return true;
}

LoggedMode ModeOfRun(const LoggedRun& run) {
  LoggedMode mode;
  if (run.args.empty()) return mode;
  std::vector<std::string> copies(run.args);
  std::vector<char*> argv;
  for (std::string& a : copies) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  CmdlineOptions options = ParseCmdline(static_cast<int>(copies.size()), argv.data());
  mode.known = true;
  mode.mode = options.expert   ? RunMode::kExpert
              : options.update ? RunMode::kUpdate
                               : RunMode::kForce;
  mode.autonomic = options.autonomic;
  mode.values = options.values;
  return mode;
}

bool ModeOfSectionKey(const std::string& key, RunMode* mode) {
  std::string bare = key;
  if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']')
    bare = bare.substr(1, bare.size() - 2);
  for (RunMode m : {RunMode::kForce, RunMode::kUpdate, RunMode::kExpert}) {
    if ("[" + bare + "]" == SectionKey(m)) {
      *mode = m;
      return true;
    }
  }
  return false;
}

const ProgressLine* SectionProgress::LastTaken() const {
  for (size_t i = lines.size(); i > 0; --i)
    if (lines[i - 1].taken && !lines[i - 1].flags) return &lines[i - 1];
  return nullptr;
}

const ProgressLine* SectionProgress::Resume() const {
  for (const ProgressLine& line : lines)
    if (!line.taken) return &line;
  return nullptr;
}

SectionProgress ReadProgress(const std::string& text, RunMode mode,
                             const ExternalValues& values) {
  SectionProgress progress;
  const char* begin = text.data();
  const char* end = TextEnd(begin, text.size());
  SectionChoice choice = ChooseSection(begin, end, mode);
  progress.key = choice.StartKey();
  progress.fallback = choice.UsesFallback();
  if (choice.Start() == nullptr) {
    progress.key = choice.key;
    return progress;
  }
  progress.found = true;
  SectionWalk walk(begin, choice.Start(), end);
  for (;;) {
    SectionLine line = walk.Next();
    if (line.kind != SectionLine::kPending && line.kind != SectionLine::kPassedOver)
      break;
    size_t size = line.kind == SectionLine::kPending
                      ? line.size
                      : static_cast<size_t>(line.lineFeed - line.begin);
    if (line.kind == SectionLine::kPassedOver && size > 0) --size;
    bool taken = line.kind == SectionLine::kPassedOver && *line.begin == '1';
    if (size < kCommandOffset || (line.kind == SectionLine::kPassedOver && !taken))
      continue;
    ProgressLine entry;
    entry.number = line.number;
    entry.taken = taken;
    entry.resultField.assign(line.begin + kResultOffset, 3);
    try {
      CommandText command = ReadCommandText(line.begin, size, values);
      entry.text = MaskPassword(command.toRun);
      entry.flags = command.IsFlags();
    } catch (const std::bad_alloc&) {
      entry.text = "(out of memory)";
    }
    (taken ? progress.taken : progress.pending) += 1;
    progress.lines.push_back(std::move(entry));
  }
  return progress;
}

size_t RearmSections(std::string* text, const std::vector<RunMode>& modes,
                     const std::vector<size_t>& shippedTaken,
                     std::vector<std::string>* missing, std::set<size_t>* lines) {
  size_t changed = 0;
  char* begin = &(*text)[0];
  const char* end = TextEnd(begin, text->size());
  for (RunMode mode : modes) {
    SectionChoice choice = ChooseSection(begin, end, mode);
    if (choice.start == nullptr) {
      missing->push_back(choice.key);
      continue;
    }
    SectionWalk walk(begin, choice.start, end);
    for (SectionLine line = walk.Next();
         line.kind == SectionLine::kPending || line.kind == SectionLine::kPassedOver;
         line = walk.Next()) {
      lines->insert(line.number);
      // A mark: "0" or "1" and the six leading columns before the
      // character that precedes the line feed.
      if ((*line.begin != '0' && *line.begin != '1') ||
          static_cast<size_t>(line.lineFeed - line.begin) < kCommandOffset + 1)
        continue;
      char* at = begin + (line.begin - begin);
      const char shipped =
          std::binary_search(shippedTaken.begin(), shippedTaken.end(), line.number) ? '1' : '0';
      if (*at == shipped) continue;
      at[0] = shipped;
      if (shipped == '0') memcpy(at + kResultOffset, "000", 3);
      ++changed;
    }
  }
  return changed;
}

SectionProgress ProgressOfLastRun(const std::string& text, const RunLog& log) {
  if (!log.runs.empty()) {
    const LoggedRun& run = log.runs.back();
    LoggedMode mode = ModeOfRun(run);
    RunMode chosen = mode.mode;
    // The run's own word on the section beats its command line.
    if (!run.section.empty() && !run.fallback) ModeOfSectionKey(run.section, &chosen);
    if (mode.known || !run.section.empty())
      return ReadProgress(text, chosen, mode.values);
  }
  for (RunMode m : {RunMode::kForce, RunMode::kUpdate, RunMode::kExpert}) {
    SectionProgress progress = ReadProgress(text, m, ExternalValues());
    if (progress.taken > 0) return progress;
  }
  return ReadProgress(text, RunMode::kForce, ExternalValues());
}

}  // namespace pxtool
