// Fuzzes the reader of the commands' output file. Checked: any text parses,
// and every command's output lies inside the text, with its tail a suffix
// of it; and whatever a command prints, framed by the run's own lines, is
// read back as exactly its output, however much it looks like frame lines
// (the input is also tried as the output of one framed command).

#include <cstdint>
#include <string>
#include <string_view>

#include "captured_output.h"
#include "fuzz_support.h"
#include "run_output.h"

namespace {

void CheckParse(std::string_view text) {
  for (const OutputRun& run : ParseRunOutput(text)) {
    for (const OutputCommand& command : run.commands) {
      FUZZ_CHECK(command.begin <= command.end && command.end <= text.size());
      std::string_view output = CommandOutput(text, command);
      FUZZ_CHECK(output.data() >= text.data() &&
                 output.data() + output.size() <= text.data() + text.size());
      std::vector<std::string_view> tail = pxtool::CapturedCommand{output}.Tail(3);
      FUZZ_CHECK(tail.size() <= 3);
      for (std::string_view line : tail)
        FUZZ_CHECK(line.find('\n') == std::string_view::npos &&
                   line.data() >= output.data() &&
                   line.data() + line.size() <= output.data() + output.size());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view printed(reinterpret_cast<const char*>(data), size);
  CheckParse(printed);

  const std::string token = "0123456789abcdef";
  const char stamp[] = "2026/12/06 20:33:38";
  std::string file = OutputRunLine(token, 0, stamp, 4242);
  OutputStartPieces start = OutputStartLine(token, stamp, "[Commands]", 7, "sh x");
  file += start.pieces[0] + std::to_string(file.size()) + start.pieces[1] + "77" +
          start.pieces[2];
  file += printed;
  OutputEnd end;
  end.stamp = stamp;
  end.written = size;
  if (size > 0 && printed.back() != '\n') {
    file += '\n';  // the run's, so that the end line begins a line
    end.lineFeedAdded = true;
  }
  end.kept = size + (end.lineFeedAdded ? 1 : 0);
  file += OutputEndLine(token, file.size(), end);
  CheckParse(file);
  std::vector<OutputRun> runs = ParseRunOutput(file);
  FUZZ_CHECK(runs.size() == 1 && runs[0].commands.size() == 1);
  const OutputCommand& command = runs[0].commands[0];
  FUZZ_CHECK(command.ended && command.line == 7 && command.shellPid == 77);
  FUZZ_CHECK(CommandOutput(file, command) == printed);
  return 0;
}
