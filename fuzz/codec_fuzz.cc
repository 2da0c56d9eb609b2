// Fuzzes the scrambled file and string codec (PXTool) with the input as the
// source, through every method (the three valid requests, method 3 and
// values out of range) and, for strings, destination buffers from nothing
// to generous.
//
// Strings: the source is the input up to its first zero. Every destination
// is a heap block of exactly the size the codec is told, so a write past
// it is caught. Checked: a scrambled string decodes back to its source,
// and a string that decodes re-encodes to itself (where no byte became a
// zero on the way, which ends a string early); a refused operation leaves
// its destination untouched.
//
// Files: the input is written to a file, which goes through GetPXFile2File
// with every method. Checked: the trailer decides (a scrambled source is
// decoded whatever was asked); scrambling then descrambling gives the
// input back byte for byte; a plain copy is exact; method 3 and values out
// of range leave the destination untouched; a refused source leaves no
// destination behind; the source is never changed, also when it is its own
// destination. The file-to-string path gets a buffer of the size
// GetPXFileLengh reports and smaller ones.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "px_tool.h"

namespace {

using Method = PXTool::PXCryptMethod;
using quillon_fuzz::RecordingShell;

RecordingShell g_shell;
std::string g_dir;

const Method kMethods[] = {
    PXTool::PXDecrypt,     PXTool::PXEncryptKey1, PXTool::PXEncryptKey2,
    PXTool::PXEncryptKey3, static_cast<Method>(4), static_cast<Method>(-1),
};

const size_t kTrailerSize = 10;
const char kUntouched = '\x5A';

// A destination of exactly `size` bytes, filled with kUntouched.
struct Buffer {
  explicit Buffer(size_t n) : size(n), data(new char[n]) {
    memset(data.get(), kUntouched, n);
  }
  bool Untouched() const {
    for (size_t i = 0; i < size; ++i)
      if (data[i] != kUntouched) return false;
    return true;
  }
  size_t size;
  std::unique_ptr<char[]> data;
};

std::string Path(const char* name) { return g_dir + "/" + name; }

void WriteWhole(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(write(fd, bytes.data(), bytes.size()) ==
             static_cast<ssize_t>(bytes.size()));
  close(fd);
}

bool ReadWhole(const std::string& path, std::string* bytes) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bytes->clear();
  char block[4096];
  ssize_t n;
  while ((n = read(fd, block, sizeof(block))) > 0) bytes->append(block, n);
  close(fd);
  return true;
}

// --- Strings -----------------------------------------------------------------

// Encodes `plain` with `method` into a fitting buffer; true with `scrambled`
// set when the codec accepted it.
bool EncodeString(const std::string& plain, Method method,
                  std::string* scrambled) {
  Buffer out(plain.size() + kTrailerSize + 1);
  PXTool tool;
  if (tool.GetPXString2String(plain.c_str(), out.data.get(), out.size,
                              method) != 0)
    return false;
  *scrambled = out.data.get();
  return true;
}

void FuzzStrings(const std::string& input) {
  const std::string source(input.c_str());  // up to the first zero
  const size_t len = source.size();
  const size_t sizes[] = {0, 1, kTrailerSize, len, len + 1, len + kTrailerSize,
                          len + kTrailerSize + 1, 2 * len + 64};
  for (Method method : kMethods) {
    for (size_t size : sizes) {
      Buffer out(size);
      PXTool tool;
      int rc = tool.GetPXString2String(source.c_str(), out.data.get(), size,
                                       method);
      if (rc != 0) {
        FUZZ_CHECK(out.Untouched());
        continue;
      }
      FUZZ_CHECK(method == PXTool::PXDecrypt ||
                 method == PXTool::PXEncryptKey1 ||
                 method == PXTool::PXEncryptKey2);
      const size_t outLen = strnlen(out.data.get(), size);
      FUZZ_CHECK(outLen < size);  // terminated inside the buffer
      if (method != PXTool::PXDecrypt) {
        // Scrambled: decodes back to the source unless a byte became zero.
        if (outLen != len + kTrailerSize) continue;
        if (len == 0) {
          PXTool decoder;
          char scratch[kTrailerSize + 1];
          FUZZ_CHECK(decoder.GetPXString2String(out.data.get(), scratch,
                                                sizeof(scratch),
                                                PXTool::PXDecrypt) == 11);
          continue;
        }
        Buffer back(outLen);
        PXTool decoder;
        FUZZ_CHECK(decoder.GetPXString2String(out.data.get(), back.data.get(),
                                              back.size,
                                              PXTool::PXDecrypt) == 0);
        FUZZ_CHECK(source == back.data.get());
      } else {
        // Decoded: the source carried trailer 1 or 2 and re-encodes to it.
        FUZZ_CHECK(len > kTrailerSize);
        if (outLen != len - kTrailerSize) continue;
        std::string again;
        const std::string trailer = source.substr(len - kTrailerSize);
        Method found = trailer == "#PELK_ROW#" ? PXTool::PXEncryptKey1
                                               : PXTool::PXEncryptKey2;
        FUZZ_CHECK(EncodeString(out.data.get(), found, &again));
        FUZZ_CHECK(again == source);
      }
    }
  }

  // A string source null, a destination null.
  char one[1];
  PXTool tool;
  FUZZ_CHECK(tool.GetPXString2String(nullptr, one, 1, PXTool::PXDecrypt) == 17);
  FUZZ_CHECK(tool.GetPXString2String(source.c_str(), nullptr, 1,
                                     PXTool::PXDecrypt) == 18);
}

// --- Files -------------------------------------------------------------------

void FuzzFiles(const std::string& input) {
  const std::string src = Path("src");
  const std::string dst = Path("dst");
  const std::string back = Path("back");
  WriteWhole(src, input);

  Method found;
  unsigned long long plainSize = 0;
  FUZZ_CHECK(PXTool::GetPXFileInfo(src.c_str(), found, plainSize) == 0);
  const bool decodable = (found == PXTool::PXEncryptKey1 ||
                          found == PXTool::PXEncryptKey2) &&
                         input.size() > kTrailerSize;

  for (Method method : kMethods) {
    const std::string marker = "destination before the call";
    WriteWhole(dst, marker);
    PXTool tool;
    int rc = tool.GetPXFile2File(src.c_str(), dst.c_str(), method);
    std::string out;
    const bool present = ReadWhole(dst, &out);

    if (static_cast<unsigned>(method) >= 3) {
      // Refused before anything is opened: the destination stays.
      FUZZ_CHECK(rc == 10 && present && out == marker);
    } else if (found == PXTool::PXEncryptKey3 ||
               (found != PXTool::PXDecrypt && !decodable) ||
               (found == PXTool::PXDecrypt && method != PXTool::PXDecrypt &&
                input.empty())) {
      // Refused once the source was read: the destination is removed, so
      // no stale or partial result is left under its name.
      FUZZ_CHECK(rc == 10 && !present);
    } else if (decodable) {
      // The trailer decides: decoded whatever was asked.
      FUZZ_CHECK(rc == 0 && present);
      FUZZ_CHECK(out.size() == input.size() - kTrailerSize);
      // Scrambling the decoded bytes again with the same method gives the
      // source back, unless they happen to end with a trailer themselves.
      Method again;
      unsigned long long ignored;
      FUZZ_CHECK(PXTool::GetPXFileInfo(dst.c_str(), again, ignored) == 0);
      if (again == PXTool::PXDecrypt && !out.empty()) {
        PXTool encoder;
        FUZZ_CHECK(encoder.GetPXFile2File(dst.c_str(), back.c_str(), found) == 0);
        std::string rebuilt;
        FUZZ_CHECK(ReadWhole(back, &rebuilt) && rebuilt == input);
      }
    } else if (method == PXTool::PXDecrypt) {
      FUZZ_CHECK(rc == 0 && present && out == input);  // plain copy
    } else {
      // Scrambled, then descrambled: the input again.
      FUZZ_CHECK(rc == 0 && present);
      FUZZ_CHECK(out.size() == input.size() + kTrailerSize);
      PXTool decoder;
      FUZZ_CHECK(decoder.GetPXFile2File(dst.c_str(), back.c_str(),
                                        PXTool::PXDecrypt) == 0);
      std::string plain;
      FUZZ_CHECK(ReadWhole(back, &plain) && plain == input);
    }
    std::string still;
    FUZZ_CHECK(ReadWhole(src, &still) && still == input);
  }

  // The source as its own destination is never written.
  for (Method method : kMethods) {
    PXTool tool;
    int rc = tool.GetPXFile2File(src.c_str(), src.c_str(), method);
    if (rc == 0) FUZZ_CHECK(found == PXTool::PXDecrypt && method == PXTool::PXDecrypt);
    std::string still;
    FUZZ_CHECK(ReadWhole(src, &still) && still == input);
  }

  // File to string: the reported length always suffices; smaller buffers
  // are cut, never overrun.
  int length = 0;
  FUZZ_CHECK(PXTool::GetPXFileLengh(src.c_str(), length) == 0);
  FUZZ_CHECK(length == static_cast<int>(input.size()) + 256);
  const size_t sizes[] = {static_cast<size_t>(length), input.size() + 11, 11, 1};
  for (Method method : kMethods) {
    for (size_t size : sizes) {
      Buffer out(size);
      PXTool tool;
      tool.GetPXFile2String(src.c_str(), out.data.get(), size, method);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_dir = quillon_fuzz::EnterSandbox(&g_shell);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  FuzzStrings(input);
  FuzzFiles(input);
  return 0;
}
