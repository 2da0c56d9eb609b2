// Fuzzes the trace configuration-file parser: the input is written as an
// ".ini" file, opened on the application's section and on the global one,
// and every key the trace object reads is looked up, as text (into buffers
// of several sizes, each exactly as large as the parser is told) and as a
// number. Checked: a text value is always terminated inside its buffer; a
// failed lookup leaves the buffer untouched; a file without the closing
// "[EndOfFile]" header never opens.

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "debug_trace_config_file.h"
#include "fuzz_support.h"

namespace {

quillon_fuzz::RecordingShell g_shell;
std::string g_dir;

const char* const kKeys[] = {"DynamicUpdate",        "RingBufferDirectory",
                             "FileDebugLevel",       "TraceFlags",
                             "RingBufferSizeFactor", "RingBufferSizeWeight",
                             "NoHeaderToStderr",     "MemoryTracesFlag"};

bool WriteInput(const std::string& path, const uint8_t* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = write(fd, data, size) == static_cast<ssize_t>(size);
  close(fd);
  return ok;
}

// True when the text holds a "]" whose header, found backwards, reads
// EndOfFile: the one shape of file the parser may accept.
bool EndsWithEndMarker(const std::string& text) {
  size_t close = text.rfind(']');
  if (close == std::string::npos || close == 0) return false;
  size_t open = text.rfind('[', close);
  if (open == std::string::npos || open == 0) return false;
  std::string name = text.substr(open + 1, close - open - 1);
  return strcasecmp(name.c_str(), "EndOfFile") == 0 &&
         name.size() == strlen("EndOfFile");
}

void LookUpEveryKey(CDebugTraceConfigFile* file) {
  for (const char* key : kKeys) {
    unsigned value = 0;
    file->GetNumberFromIniFile(key, value);
    for (unsigned size : {1u, 2u, 16u, 256u}) {
      std::unique_ptr<char[]> buf(new char[size]);
      memset(buf.get(), 'Z', size);
      if (file->GetStringFromIniFile(key, buf.get(), size))
        FUZZ_CHECK(memchr(buf.get(), '\0', size) != nullptr);
      else
        FUZZ_CHECK(buf[0] == 'Z' && buf[size - 1] == 'Z');
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_dir = quillon_fuzz::EnterSandbox(&g_shell);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!WriteInput(g_dir + "/trace.ini", data, size)) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  // The parser reads the file as text: what lies behind a zero byte never
  // counts.
  bool mayOpen = EndsWithEndMarker(text.substr(0, text.find('\0')));
  for (const char* section : {"Quillon", "GlobalDebugSettings"}) {
    CDebugTraceConfigFile file;
    bool opened = file.OpenSectionInIniFile(g_dir.c_str(), "trace.ini", section);
    if (opened) FUZZ_CHECK(mayOpen || text.find('\0') != std::string::npos);
    LookUpEveryKey(&file);
    file.IsIniFileModified();
    file.CloseSectionInIniFile();
    LookUpEveryKey(&file);
  }
  return 0;
}
