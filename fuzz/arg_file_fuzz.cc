// Fuzzes the reading of an argument file and the walk over its command
// section, the way a run does them, with a shell that runs nothing.
//
// Input layout:
//   byte 0    run switches: bits 0-1 the mode (0 and 3 forced, 1 update,
//             2 expert), bit 2 autonomic, bit 3 agt_no_reboot, bit 4 the
//             external variable given, bit 5 the reset value given, bit 6
//             the external parameter given, bit 7 debug
//   bytes 1-2 four nibbles choosing, in turn, the wait status that each
//             command (and each reboot request) "returns"
//   the rest  the argument file
//
// The argument file is copied into a heap block of exactly its size, with
// no zero after it, so that a read past its end is caught as it would be
// for a mapped file whose size is a whole number of pages. The text is the
// whole block, embedded zero bytes included: the readers must stay inside
// [begin, end) whatever the bytes are.
//
// Checked after every input: the walk wrote into no byte but the state
// character and the three result digits of a pending line long enough to
// hold them, and no command text handed to the shell reached across a line
// end.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "arg_file.h"
#include "command_runner.h"
#include "fuzz_support.h"
#include "quillon.h"

namespace {

using quillon_fuzz::RecordingShell;

RecordingShell g_shell;

// Wait statuses as system() reports them: normal exits, a large exit code,
// signals (one with a core dump), a stopped child, and a shell that could
// not be started.
const int kReplies[16] = {
    0,          1 << 8,   2 << 8,  3 << 8,   255 << 8, 16 << 8,
    4 << 8,     59 << 8,  12 << 8, 195 << 8, 9,        15,
    0x80 | 11,  0x137f,   -1,      1,
};

void SetSwitches(uint8_t bits) {
  switch (bits & 3) {
    case 1: update = true; force = false; break;
    case 2: expert = true; force = false; break;
    default: force = true; break;
  }
  autonomic = (bits & 4) != 0;
  agt_no_reboot = (bits & 8) != 0;
  externalOption = (bits & 16) != 0;
  reset = (bits & 32) != 0;
  externalParameter = (bits & 64) != 0;
  debug = (bits & 128) != 0;
  // Values that fill their buffers completely and hold no digit, so that
  // a substitution never makes a number out of range (see fuzz_support.h).
  memset(externalOptionBuffer, 'O', EXTERNAL_OPTION_SIZE - 1);
  memset(externalResetBuffer, 'R', EXTERNAL_RESET_SIZE - 1);
  memset(externalParameterBuffer, 'P', EXTERNAL_PARAMETER_SIZE - 1);
}

// The section key the run would choose, with its expert fallback; null when
// the run would stop for a missing key.
char* ChooseSection(char* text, char* end) {
  const char* key =
      expert ? "[ExpCommands]" : update ? "[UpdCommands]" : "[Commands]";
  const char* found = FindText(text, end, key);
  if (found == nullptr && expert) {
    found = FindText(text, end, "[Commands]");
    if (found != nullptr) {
      force = true;
      expert = false;
    }
  }
  return const_cast<char*>(found);
}

// Every byte that differs between `before` and `after` must be column 0,
// 2, 3 or 4 of a line that began with "0" and is at least seven characters
// long before its line feed (six columns and the character before the LF).
void CheckWritesStayedInLines(const char* before, const char* after,
                              size_t n) {
  size_t lineStart = 0;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && before[i - 1] == '\n') lineStart = i;
    if (before[i] == after[i]) continue;
    size_t column = i - lineStart;
    FUZZ_CHECK(before[lineStart] == '0');
    FUZZ_CHECK(column == 0 || (column >= 2 && column <= 4));
    const void* lf = memchr(before + lineStart, '\n', n - lineStart);
    FUZZ_CHECK(lf != nullptr);
    size_t lineLength = static_cast<const char*>(lf) - (before + lineStart);
    FUZZ_CHECK(lineLength >= 7);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quillon_fuzz::EnterSandbox(&g_shell);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t n = size - 3;
  std::string original(reinterpret_cast<const char*>(data) + 3, n);
  if (quillon_fuzz::HasOverlongNumber(original)) return 0;

  quillon_fuzz::InScratchDir inScratchDir;
  ResetRunGlobals();
  SetSwitches(data[0]);
  g_shell.Reset();
  const unsigned choice = data[1] | (data[2] << 8);
  for (int i = 0; i < 4; ++i) g_shell.replies.push_back(kReplies[(choice >> (4 * i)) & 15]);

  std::unique_ptr<char[]> text(new char[n]);
  if (n > 0) memcpy(text.get(), original.data(), n);
  char* end = text.get() + n;

  ReadBasicParamsA(text.get(), end, "/nonexistent-workdir");

  char* section = ChooseSection(text.get(), end);
  if (section != nullptr) {
    try {
      RunCommandSection(section, end,
                        SectionContext{nullptr, nullptr, "/nonexistent-workdir"});
    } catch (unsigned int) {
      // A text that ends inside the section, or no memory for a flags list.
    }
  }

  CheckWritesStayedInLines(original.data(), text.get(), n);
  for (const std::string& command : g_shell.commands)
    FUZZ_CHECK(command.find('\n') == std::string::npos);

  ResetRunGlobals();
  return 0;
}
