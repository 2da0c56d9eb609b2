#include "arg_grammar.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <new>

const char* TextEnd(const char* begin, size_t size) {
  return begin + strnlen(begin, size);
}

const char* FindText(const char* begin, const char* end, const char* needle) {
  if (begin >= end) return nullptr;
  return static_cast<const char*>(
      memmem(begin, static_cast<size_t>(end - begin), needle, strlen(needle)));
}

const char* FindLineFeed(const char* begin, const char* end) {
  if (begin >= end) return nullptr;
  return static_cast<const char*>(
      memchr(begin, '\n', static_cast<size_t>(end - begin)));
}

TextPosition PositionOf(const char* text, const char* at) {
  TextPosition position;
  position.line = 1 + static_cast<size_t>(std::count(text, at, '\n'));
  const char* lf = static_cast<const char*>(
      memrchr(text, '\n', static_cast<size_t>(at - text)));
  position.column = static_cast<size_t>(at - (lf ? lf + 1 : text)) + 1;
  return position;
}

namespace {

// Lists the package directory into params->files (descending byte order,
// directories left out), as the run does. Stops at the first limit passed.
// Relative paths are resolved against the directory `base` (a descriptor,
// or AT_FDCWD).
void ListPackageFiles(int base, BasicParams* params) {
  struct dirent** namelist = nullptr;
  errno = 0;
  // The run (base AT_FDCWD) lists and looks at the entries with the very
  // calls it always made.
  int n = base == AT_FDCWD
              ? scandir(params->fwPath.c_str(), &namelist, nullptr, alphasort)
              : scandirat(base, params->fwPath.c_str(), &namelist, nullptr,
                          alphasort);
  params->scanned = true;
  params->scanResult = n;
  params->scanErrno = errno;
  if (n < 0) return;
  for (int i = n - 1; i >= 0; --i) {
    const char* name = namelist[i]->d_name;
    if (params->problem == BasicParamsProblem::kNone &&
        strcmp(name, ".") != 0 && strcmp(name, "..") != 0) {
      std::string path = params->scanPrefix + name;
      struct stat info;
      if (path.size() > kMaxScanPath) {
        params->problem = BasicParamsProblem::kScanPathTooLong;
        params->overlongPath = path;
      } else if ((base == AT_FDCWD ? stat(path.c_str(), &info)
                                   : fstatat(base, path.c_str(), &info, 0)) ==
                     0 &&
                 !S_ISDIR(info.st_mode)) {
        if (params->files.size() >= MAX_PACKAGE_FILES)
          params->problem = BasicParamsProblem::kTooManyFiles;
        else
          params->files.push_back(name);
      }
    }
    free(namelist[i]);
  }
  free(namelist);
}

BasicParams Failed(BasicParams params, BasicParamsProblem problem) {
  params.problem = problem;
  params.files.clear();
  params.code = problem == BasicParamsProblem::kNoFwPathKey
                    ? EXECERROR_MissingFwPath
                : problem == BasicParamsProblem::kNoMemory
                    ? EXECERROR_NoMemory
                    : EXECERROR_CorruptedParaFile;
  return params;
}

}  // namespace

BasicParams ReadBasicParams(const char* text, const char* end,
                            const char* workPath, bool autonomicRun,
                            const char* baseDir) {
  BasicParams params;
  const char* line = FindText(text, end, "[Runtime]");
  if (line == nullptr)
    return Failed(params, BasicParamsProblem::kNoRuntimeSection);
  params.runtimeKey = line;
  do {
    const char* lf = FindLineFeed(line, end);
    if (lf == nullptr)
      return Failed(params, BasicParamsProblem::kNoLineAfterComments);
    line = lf + 1;
  } while (line < end && *line == '#');

  const char* key = FindText(line, end, "FWPATH=");
  if (key == nullptr) return Failed(params, BasicParamsProblem::kNoFwPathKey);
  params.fwPathKey = key;

  try {
    if (autonomicRun) {
      params.fwPath = workPath;
    } else {
      // The value ends two characters before the line feed; a value with
      // no line feed after it, or none before it, is empty. Like the text,
      // a value ends at a zero byte inside it.
      const char* value = key + 7;
      const char* lf = FindLineFeed(value, end);
      if (lf == nullptr)
        return Failed(params, BasicParamsProblem::kFwPathWithoutLineEnd);
      if (lf - 1 > value)
        params.fwPath.assign(value,
                             strnlen(value, static_cast<size_t>(lf - 1 - value)));
    }
    if (params.fwPath.empty())
      return Failed(params, BasicParamsProblem::kEmptyFwPath);
    params.scanPrefix = params.fwPath;
    if (params.scanPrefix.back() != '/') params.scanPrefix += '/';
    int base = AT_FDCWD;
    if (baseDir != nullptr) {
      base = open(baseDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (base < 0) {
        // As a directory that cannot be listed: no package files.
        params.scanned = true;
        params.scanResult = -1;
        params.scanErrno = errno;
      }
    }
    if (base != -1) ListPackageFiles(base, &params);
    if (base >= 0) close(base);
  } catch (const std::bad_alloc&) {
    return Failed(params, BasicParamsProblem::kNoMemory);
  }
  if (params.problem != BasicParamsProblem::kNone)
    return Failed(params, params.problem);
  return params;
}

const char* SectionKey(RunMode mode) {
  return mode == RunMode::kExpert   ? "[ExpCommands]"
         : mode == RunMode::kUpdate ? "[UpdCommands]"
                                    : "[Commands]";
}

SectionChoice ChooseSection(const char* text, const char* end, RunMode mode) {
  SectionChoice choice;
  choice.key = SectionKey(mode);
  choice.start = FindText(text, end, choice.key);
  if (choice.start == nullptr && mode == RunMode::kExpert)
    choice.fallbackStart = FindText(text, end, "[Commands]");
  return choice;
}

SectionWalk::SectionWalk(const char* text, const char* keyStart,
                         const char* end)
    : text_(text), next_(nullptr), end_(end), keyStart_(keyStart) {}

SectionLine SectionWalk::Next() {
  if (done_) return last_;
  SectionLine line;
  // The walk's last line: given again from now on.
  auto last = [&](SectionLine::Kind kind) {
    done_ = true;
    line.kind = kind;
    return last_ = line;
  };
  if (next_ == nullptr) {
    // The first call: the section's lines begin after the key's line.
    const char* lf = FindLineFeed(keyStart_, end_);
    number_ = PositionOf(text_, keyStart_).line;
    line.number = number_;
    if (lf == nullptr) return last(SectionLine::kNoLines);
    next_ = lf + 1;
  }
  line.begin = next_;
  line.number = ++number_;
  if (next_ < end_ && *next_ == '[') return last(SectionLine::kEnd);
  const char* lf = FindLineFeed(next_, end_);
  if (lf == nullptr) return last(SectionLine::kCorrupted);
  line.lineFeed = lf;
  if (*next_ == '0') {
    line.kind = SectionLine::kPending;
    line.size = static_cast<size_t>(lf - 1 - next_);
  } else {
    line.kind = SectionLine::kPassedOver;
  }
  next_ = lf + 1;
  return line;
}
