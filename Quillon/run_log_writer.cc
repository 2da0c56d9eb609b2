#include "run_log_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include "qz_string.h"
#include "quillon.h"
#include "safe_file.h"

bool LogFileWriteLine(FILE* file, const char* pMessage) {
  if (file == nullptr || pMessage == nullptr || *pMessage == '\0') return false;
  if (*pMessage == '\n') {
    const char* rest = pMessage;
    while (*rest == '\n') {
      fputc('\n', file);
      ++rest;
    }
    char stamp[kLogTimeStampSize];
    fprintf(file, "%s\t%s", LogTimeStamp(time(nullptr), stamp), rest);
  } else {
    fputs(pMessage, file);
  }
  fflush(file);
  return true;
}

namespace {

// Formats into a buffer of the measured length plus 100 and writes it.
void WriteFormatted(FILE* hFile, const char* pFormat, va_list args) {
  if (hFile == nullptr || pFormat == nullptr) return;
  va_list measure;
  va_copy(measure, args);
  int n = vsnprintf(nullptr, 0, pFormat, measure);
  va_end(measure);
  if (n <= 0) return;
  // Short messages are formatted on the stack: the line that reports a
  // lack of memory must not need any. A long one that finds no memory is
  // written cut to the stack buffer rather than lost.
  char small[1024];
  if (static_cast<size_t>(n) >= sizeof(small) - 100) {
    try {
      std::vector<char> buffer(static_cast<size_t>(n) + 100);
      vsnprintf(buffer.data(), buffer.size(), pFormat, args);
      LogFileWriteLine(hFile, buffer.data());
      return;
    } catch (const std::bad_alloc&) {
    }
  }
  vsnprintf(small, sizeof(small), pFormat, args);
  LogFileWriteLine(hFile, small);
}

}  // namespace

void WriteLogFile(FILE* hFile, const char* pFormat, ...) {
  va_list args;
  va_start(args, pFormat);
  WriteFormatted(hFile, pFormat, args);
  va_end(args);
}

void WriteLogFileA(FILE* hFile, const char* pFormat, ...) {
  va_list args;
  va_start(args, pFormat);
  WriteFormatted(hFile, pFormat, args);
  va_end(args);
}

FILE* OpenRunLog(std::string* why) {
  int fd = OpenOwnFile(kRunLogName, O_RDWR | O_CREAT | O_APPEND, 0644, why);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "a+");
  if (file == nullptr) close(fd);
  return file;
}

void WriteLogHeader(FILE* file, int argc, char** argv,
                    const std::string& workingDirectory, time_t startTime) {
  if (file == nullptr) return;
  CQZString<std::string, char> version;
  version.Format("%d.%02d.%02d", QUILLON_VERSION_MAJOR, QUILLON_VERSION_MINOR,
                 QUILLON_VERSION_PATCH);
  fputs("\n\n" QUILLON_LOG_HEADER_OPEN, file);
  char stamp[kLogTimeStampSize];
  fprintf(file, "\n" QUILLON_LOG_HEADER_TITLE, version.c_str(),
          LogTimeStamp(startTime, stamp));
  fputs("\n" QUILLON_LOG_HEADER_STARS, file);
  for (int i = 0; i < argc; ++i)
    fprintf(file, "\n" QUILLON_LOG_HEADER_ARG, i, argv[i]);
  fprintf(file, "\n" QUILLON_LOG_HEADER_DIRECTORY, workingDirectory.c_str());
  if (externalOption)
    fprintf(file, "\n" QUILLON_LOG_HEADER_OPTION, externalOptionBuffer);
  if (reset) fprintf(file, "\n" QUILLON_LOG_HEADER_RESET, externalResetBuffer);
  if (externalParameter)
    fprintf(file, "\n" QUILLON_LOG_HEADER_PARAMETER, externalParameterBuffer);
  fputs("\n" QUILLON_LOG_HEADER_STARS, file);
  fflush(file);
}
