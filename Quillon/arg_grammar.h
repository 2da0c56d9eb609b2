// The argument file's grammar as the run reads it: the text's end, the basic
// parameters ("[Runtime]", "FWPATH=", the package files), the choice of the
// command section and the walk over its lines. Part of the package model
// (package_model.h): nothing here writes, logs or touches a process global.

#ifndef QUILLON_ARG_GRAMMAR_H_
#define QUILLON_ARG_GRAMMAR_H_

#include <cstddef>
#include <string>
#include <vector>

#include "codes.h"

// The argument file's name when the command line names none.
inline constexpr char kDefaultArgFileName[] = "px.arg";

// --- Text ---------------------------------------------------------------------

// Where the run's reading of [begin, begin + size) ends: the first zero byte,
// or the end.
const char* TextEnd(const char* begin, size_t size);
// First occurrence of `needle` in [begin, end), or null.
const char* FindText(const char* begin, const char* end, const char* needle);
// First line feed in [begin, end), or null.
const char* FindLineFeed(const char* begin, const char* end);
// 1-based line and column of `at` in the text that starts at `text`.
struct TextPosition {
  size_t line = 0;
  size_t column = 0;
};
TextPosition PositionOf(const char* text, const char* at);

// --- Basic parameters: "[Runtime]", "FWPATH=", the package files ------------

enum class BasicParamsProblem {
  kNone,
  kNoRuntimeSection,      // no "[Runtime]"
  kNoLineAfterComments,   // no line feed after the header or its comments
  kNoFwPathKey,           // no "FWPATH=" after them
  kFwPathWithoutLineEnd,  // a value with no line feed after it
  kEmptyFwPath,           // an empty value (the character before the LF
                          // dropped; a zero byte ends it too)
  kScanPathTooLong,       // "<dir>/<name>" of more than kMaxScanPath
  kTooManyFiles,          // more than MAX_PACKAGE_FILES package files
  kNoMemory,
};

// The scan prefix "<package directory>/" and a file name must fit in this
// many characters.
const size_t kMaxScanPath = 259;

struct BasicParams {
  BasicParamsProblem problem = BasicParamsProblem::kNone;
  // The code the run's ReadBasicParamsA returns for the problem (0 for
  // none; EXECERROR_CorruptedParaFile, _MissingFwPath or _NoMemory), before
  // the autonomic mapping to 55.
  unsigned int code = 0;
  const char* runtimeKey = nullptr;  // "[Runtime]", when found
  const char* fwPathKey = nullptr;   // "FWPATH=", when found
  std::string fwPath;                // as written (autonomic: the work path)
  std::string scanPrefix;            // fwPath with a "/" appended if needed
  // Whether the directory was listed, the result of the listing (entries,
  // or -1) and errno after it.
  bool scanned = false;
  int scanResult = 0;
  int scanErrno = 0;
  // Package files: names of the non-directory entries, in descending byte
  // order (the order staging copies them in). Empty on a problem.
  std::vector<std::string> files;
  std::string overlongPath;  // kScanPathTooLong: the path
};

// Reads the basic parameters as a run does. A relative package directory is
// listed relative to `baseDir`, or to the current directory when it is null
// (as the run does, from the working directory); a `baseDir` that cannot be
// opened counts as a listing that failed. `autonomicRun`: the value after
// "FWPATH=" is ignored and `workPath` is the package directory.
BasicParams ReadBasicParams(const char* text, const char* end,
                            const char* workPath, bool autonomicRun,
                            const char* baseDir = nullptr);

// --- Command sections -------------------------------------------------------

enum class RunMode { kForce, kUpdate, kExpert };

// "[Commands]", "[UpdCommands]" or "[ExpCommands]".
const char* SectionKey(RunMode mode);

struct SectionChoice {
  const char* key = nullptr;    // the mode's key
  const char* start = nullptr;  // its first occurrence, or null
  // Expert mode without "[ExpCommands]": the first "[Commands]", or null.
  const char* fallbackStart = nullptr;
  const char* Start() const { return start ? start : fallbackStart; }
  const char* StartKey() const { return start ? key : "[Commands]"; }
  bool UsesFallback() const { return !start && fallbackStart; }
};

// The section a run in `mode` uses: the first occurrence of its key as
// plain text anywhere (in a comment too), with the expert fallback.
SectionChoice ChooseSection(const char* text, const char* end, RunMode mode);

// One line of a command section, as the walk hands it over.
struct SectionLine {
  enum Kind {
    kPending,     // begins with "0": a command line to take up
    kPassedOver,  // any other first character but "["
    kEnd,         // begins with "[": the section is over
    kNoLines,     // the key's line has no line feed: nothing follows
    kCorrupted,   // the text ends before the line's line feed
  } kind = kNoLines;
  const char* begin = nullptr;     // the line's first character
  const char* lineFeed = nullptr;  // its line feed (kPending, kPassedOver)
  // kPending: what the command runner is given, the line without its line
  // feed and the one character before it (lineFeed - 1 - begin).
  size_t size = 0;
  size_t number = 0;  // 1-based line number in the file
};

// The walk over a section's lines, from the line after the key's line. Each
// Next() gives one line; after kEnd, kNoLines or kCorrupted it gives the
// same again. The walk reads the text as it is at each call, so the caller
// may write marks into lines already handed over.
class SectionWalk {
 public:
  SectionWalk(const char* text, const char* keyStart, const char* end);
  SectionLine Next();

 private:
  const char* text_;
  const char* next_;  // start of the next line; null before the first
  const char* end_;
  const char* keyStart_;
  size_t number_ = 0;
  bool done_ = false;
  SectionLine last_;
};

#endif  // QUILLON_ARG_GRAMMAR_H_
