// The run log "Quillon.log": the human-readable, time-stamped record of a
// run, kept in the working directory and appended to by every run. This
// file owns its name and the texts of the lines that pxtool reads back; the
// run writes them through run_log_writer.h (and report.h), pxtool reads them
// in tools/pxtool/run_log_reader.cc. Nothing here writes.
//
// Layout: a message that begins with line feeds is written as those line
// feeds, a time stamp "%Y/%m/%d %H:%M:%S", a tab and the rest of the text; a
// message without a leading line feed continues the current line unchanged.
// The file therefore never ends with a line feed. Each run's part begins
// with a header block without time stamps:
//   <LF><LF>QUILLON_LOG_HEADER_OPEN
//   <LF>QUILLON_LOG_HEADER_TITLE        (version, time stamp)
//   <LF>QUILLON_LOG_HEADER_STARS
//   <LF>QUILLON_LOG_HEADER_ARG          (one per argument)
//   <LF>QUILLON_LOG_HEADER_DIRECTORY
//   <LF>QUILLON_LOG_HEADER_OPTION / _RESET / _PARAMETER (when given)
//   <LF>QUILLON_LOG_HEADER_STARS
// and then come its events, one time-stamped line each.
//
// Durability: every message is flushed to the kernel as soon as it is
// written, so the log is complete up to its last message when the process
// dies. It is not fsync'ed: a power cut may lose the last lines.

#ifndef QUILLON_RUN_LOG_H_
#define QUILLON_RUN_LOG_H_

#include <cstddef>
#include <ctime>
#include <string_view>

// Name of the run log, in the working directory.
extern const char kRunLogName[];  // "Quillon.log"

// Name of the commands' output beside it, and of the one before it
// (run_output.h); kept out of a signed package's files.
extern const char kRunOutputName[];          // "Quillon.out"
extern const char kRunOutputPreviousName[];  // "Quillon.out.1"

// The texts of the lines a reader of the log relies on. Each is the printf
// format its writer uses, without the leading line feed (QREPORT and QLOG
// add it to an event, WriteLogHeader to a header line). They are macros so
// that every writer hands its printf a string literal the compiler checks
// the arguments against. None holds "%%".
#define QUILLON_LOG_HEADER_OPEN \
  "*********+*********+*********+*********+*********+**********+**********+******"
#define QUILLON_LOG_HEADER_TITLE "**       Quillon V%s Log %s"
#define QUILLON_LOG_HEADER_STARS \
  "******************************************************************************"
#define QUILLON_LOG_HEADER_ARG "** Arg [%d]: %s"
#define QUILLON_LOG_HEADER_DIRECTORY "** working directory: \"%s\""
#define QUILLON_LOG_HEADER_OPTION "** external option: >%s<"
#define QUILLON_LOG_HEADER_RESET "** external reset: >%s<"
#define QUILLON_LOG_HEADER_PARAMETER "** external parameter: >%s<)"

// Events: the status file written (directory, "/", name, status, return
// value), the command section chosen (its key), a command started (its
// masked text), its return code, or the code of a command whose mode
// prefix excluded the run's mode, the run result its flags gave (masked
// text, result), and the run's final code.
#define QUILLON_LOG_STATUS_UPDATE \
  "Update status file \"%s%s%s\": Exit Status: %d, Return Code: %d"
#define QUILLON_LOG_SECTION "Use command section %s"
#define QUILLON_LOG_FALLBACK_SECTION \
  "Use fallback command section %s for expert mode"
#define QUILLON_LOG_EXEC_COMMAND "exec command <%s>"
#define QUILLON_LOG_RETURNED " . . . returned %u"
#define QUILLON_LOG_SKIPPED " . . . skipped %u"
#define QUILLON_LOG_EXECUTED "Executed command: \"%s\" Retcode: %d"
#define QUILLON_LOG_FINAL_CODE "Quillon return code: 0x%X"

// The literal text of the printf format `format` after its conversion
// number `n` (1 for the first) up to the next conversion or the end; n = 0
// gives the text before the first conversion. Empty when there are fewer
// than n conversions.
constexpr std::string_view FormatLiteral(std::string_view format, int n) {
  size_t begin = 0;
  for (int i = 0; i < n; ++i) {
    size_t at = format.find('%', begin);
    if (at == std::string_view::npos) return std::string_view();
    // Flags, width, precision and length, then the conversion character.
    for (++at; at < format.size() &&
               std::string_view("-+ #0123456789.*hlLqjzt").find(format[at]) !=
                   std::string_view::npos;
         ++at) {
    }
    begin = at < format.size() ? at + 1 : format.size();
  }
  return format.substr(begin, format.find('%', begin) - begin);
}

// What the reader matches, taken from the formats above. A header opens
// with the first two marks of its line (a torn copy still counts).
constexpr std::string_view kLogHeaderStart =
    std::string_view(QUILLON_LOG_HEADER_OPEN).substr(0, 20);
constexpr std::string_view kLogHeaderTitle =
    FormatLiteral(QUILLON_LOG_HEADER_TITLE, 0);  // then the version
constexpr std::string_view kLogHeaderTitleTime =
    FormatLiteral(QUILLON_LOG_HEADER_TITLE, 1);  // " Log "
constexpr std::string_view kLogHeaderArg =
    FormatLiteral(QUILLON_LOG_HEADER_ARG, 0);
constexpr std::string_view kLogHeaderArgValue =
    FormatLiteral(QUILLON_LOG_HEADER_ARG, 1);  // "]: "
constexpr std::string_view kLogHeaderDirectory =
    FormatLiteral(QUILLON_LOG_HEADER_DIRECTORY, 0);
constexpr std::string_view kLogHeaderDirectoryEnd =
    FormatLiteral(QUILLON_LOG_HEADER_DIRECTORY, 1);
constexpr std::string_view kLogStatusUpdate =
    FormatLiteral(QUILLON_LOG_STATUS_UPDATE, 0);
constexpr std::string_view kLogStatusUpdateStatus =
    FormatLiteral(QUILLON_LOG_STATUS_UPDATE, 3);  // "\": Exit Status: "
constexpr std::string_view kLogStatusUpdateRetval =
    FormatLiteral(QUILLON_LOG_STATUS_UPDATE, 4);  // ", Return Code: "
constexpr std::string_view kLogSection = FormatLiteral(QUILLON_LOG_SECTION, 0);
constexpr std::string_view kLogFallbackSection =
    FormatLiteral(QUILLON_LOG_FALLBACK_SECTION, 0);
constexpr std::string_view kLogExecCommand =
    FormatLiteral(QUILLON_LOG_EXEC_COMMAND, 0);
constexpr std::string_view kLogExecCommandEnd =
    FormatLiteral(QUILLON_LOG_EXEC_COMMAND, 1);  // ">"
constexpr std::string_view kLogReturned = FormatLiteral(QUILLON_LOG_RETURNED, 0);
constexpr std::string_view kLogSkipped = FormatLiteral(QUILLON_LOG_SKIPPED, 0);
constexpr std::string_view kLogExecuted = FormatLiteral(QUILLON_LOG_EXECUTED, 0);
constexpr std::string_view kLogExecutedResult =
    FormatLiteral(QUILLON_LOG_EXECUTED, 1);  // "\" Retcode: "
constexpr std::string_view kLogFinalCode =
    FormatLiteral(QUILLON_LOG_FINAL_CODE, 0);

// The time stamp's layout (strftime) and the length of what it writes.
extern const char kLogTimeStampFormat[];  // "%Y/%m/%d %H:%M:%S"
const size_t kLogTimeStampLength = 19;

// Local time kLogTimeStampFormat of `now`, computed as UTC plus the zone's
// offset plus one hour while daylight saving time is in effect, written into
// `buffer` and returned. Empty when the time cannot be formatted.
const size_t kLogTimeStampSize = 100;
const char* LogTimeStamp(time_t now, char (&buffer)[kLogTimeStampSize]);

// Seconds of a stamp of that layout at `text` (kLogTimeStampLength
// characters available), counted as if it were UTC, which is right for
// differences and order; -1 when it is not one.
long long ParseLogStamp(const char* text, size_t size);

#endif  // QUILLON_RUN_LOG_H_
