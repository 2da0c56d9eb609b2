// The commands' output a package's runs kept (Quillon.out and the file
// before it, run_output.h), as the operators' tools show it: found by the
// run's start and the command's argument-file line, whole or its last
// lines. Only reads.

#ifndef TOOLS_PXTOOL_CAPTURED_OUTPUT_H_
#define TOOLS_PXTOOL_CAPTURED_OUTPUT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "run_output.h"

namespace pxtool {

// Lines shown of a failed command's output.
const size_t kOutputTailLines = 10;

// What the files kept of one command.
struct CapturedCommand {
  std::string_view output;  // as kept: a cut output holds its cut line
  bool ended = false;       // its end line was written
  uint64_t written = 0;     // bytes the command wrote (when ended)
  uint64_t cut = 0;         // bytes dropped from the middle (when ended)
  // Its last `lines` lines, each without its line feed.
  std::vector<std::string_view> Tail(size_t lines) const;
};

class CapturedOutput {
 public:
  CapturedOutput() = default;
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  // Reads the output files in `packageDir`; missing ones hold nothing.
  // Not copyable: the index points into the files.
  // False with `error` naming the file when one cannot be read.
  bool Read(const std::string& packageDir, std::string* error);

  // The command taken from argument-file line `line` in the run that
  // started at `started` (seconds, as the run log's stamps read; the last
  // such run), looked for in the newer file first. False when the files
  // hold none.
  bool Find(long long started, size_t line, CapturedCommand* found) const;

 private:
  struct File {
    std::string text;
    std::vector<OutputRun> runs;
  };
  struct Indexed {
    const File* file;
    const OutputCommand* command;
  };
  static std::string Key(const std::string& stamp, size_t line);

  File files_[2];  // the newer, then the one before it
  std::unordered_map<std::string, Indexed> index_;  // by run stamp and line
};

}  // namespace pxtool

#endif  // TOOLS_PXTOOL_CAPTURED_OUTPUT_H_
