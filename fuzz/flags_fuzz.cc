// Fuzzes the flags of a flags line: their parsing (DoItYourselfCmdA), the
// judgement of a return code against them (checkFlags) and the conversion
// of one omit-list code (string2intA).
//
// Input layout:
//   bytes 0-3  the return code to judge, little-endian
//   byte 4     bit 0 autonomic, bit 1 agt_no_reboot, bit 2 debug
//   the rest   flags texts separated by zero bytes; each is parsed and
//              then judged, in turn, so that conditions noted by one
//              judgement act on the next as they do in a run
//
// Every text and every piece handed to string2intA lies in a heap block of
// exactly its length plus the terminating zero.
//
// Inputs holding a number of more than 19 significant digits are skipped:
// string2intA ends the process with exit status 1 on a number beyond the
// range of unsigned long, which is how a run treats such a package, and
// libFuzzer would report that exit as a crash (see fuzz_support.h).

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "flags.h"
#include "fuzz_support.h"
#include "quillon.h"

namespace {

using quillon_fuzz::RecordingShell;

RecordingShell g_shell;

std::unique_ptr<char[]> HeapCopy(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

bool Contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

void ParseAndJudge(const std::string& flagsText, unsigned int rc) {
  std::unique_ptr<char[]> text = HeapCopy(flagsText);
  // The text handed over is zero-terminated: it ends at its first zero.
  const std::string visible(text.get());
  try {
    FUZZ_CHECK(DoItYourselfCmdA(text.get()) == 0);
  } catch (unsigned int) {
    return;  // no memory for the omit list
  }
  FUZZ_CHECK(cmdRet == 0);
  FUZZ_CHECK((piFlags[omit_ret_codes] != nullptr) ==
             Contains(visible, "omit_ret_codes "));
  for (int flag = 0; flag < MAX_FLAGS; ++flag) {
    if (flag == omit_ret_codes) continue;
    if (flag == Reboot || flag == Delayed || flag == not_omit_flags) {
      FUZZ_CHECK((piFlags[flag] != nullptr) ==
                 Contains(visible, flag_name[flag]));
    } else if (piFlags[flag] != nullptr) {
      FUZZ_CHECK(Contains(visible, std::string(flag_name[flag]) + " "));
    }
  }

  int result = checkFlags(rc);
  for (int flag = 0; flag < MAX_FLAGS; ++flag)
    FUZZ_CHECK(piFlags[flag] == nullptr);
  if (autonomic) {
    FUZZ_CHECK(result == 0 || result == 2 || result == 8 || result == 16 ||
               result == 17 || result == 55);
  } else {
    FUZZ_CHECK(result == 0 || result == 2 || result == 5 || result == 6 ||
               result == 16 || result == 17);
  }
}

// string2intA may only cut trailing blanks and line feeds off its text.
void ConvertPieces(const std::string& flagsText) {
  const std::string visible(flagsText.c_str());
  size_t start = 0;
  for (;;) {
    size_t comma = visible.find(',', start);
    std::string piece = visible.substr(
        start, comma == std::string::npos ? std::string::npos : comma - start);
    std::unique_ptr<char[]> copy = HeapCopy(piece);
    string2intA(copy.get(), 10);
    size_t kept = strlen(copy.get());
    FUZZ_CHECK(kept <= piece.size());
    FUZZ_CHECK(memcmp(copy.get(), piece.data(), kept) == 0);
    for (size_t i = kept; i < piece.size(); ++i)
      FUZZ_CHECK(piece[i] == ' ' || piece[i] == '\n');
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quillon_fuzz::EnterSandbox(&g_shell);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  std::string rest(reinterpret_cast<const char*>(data) + 5, size - 5);
  if (quillon_fuzz::HasOverlongNumber(rest)) return 0;

  quillon_fuzz::InScratchDir inScratchDir;
  ResetRunGlobals();
  g_shell.Reset();
  const unsigned int rc = data[0] | (data[1] << 8) | (data[2] << 16) |
                          (static_cast<unsigned int>(data[3]) << 24);
  autonomic = (data[4] & 1) != 0;
  agt_no_reboot = (data[4] & 2) != 0;
  debug = (data[4] & 4) != 0;

  std::vector<std::string> texts;
  size_t start = 0;
  for (;;) {
    size_t zero = rest.find('\0', start);
    texts.push_back(rest.substr(start, zero == std::string::npos
                                           ? std::string::npos
                                           : zero - start));
    if (zero == std::string::npos) break;
    start = zero + 1;
  }
  for (const std::string& text : texts) ParseAndJudge(text, rc);
  for (const std::string& text : texts) ConvertPieces(text);

  // Only reboot requests reach the shell from a judgement.
  for (const std::string& command : g_shell.commands)
    FUZZ_CHECK(command.rfind(pRebootProgram, 0) == 0);

  ResetRunGlobals();
  return 0;
}
