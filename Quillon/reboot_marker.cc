#include "reboot_marker.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "safe_file.h"

const char kRebootMarkerDirectory[] = "/run";

namespace {

const unsigned int kDelayedRebootBit = 0x100000u;
const unsigned int kRebootSuppressed = 6;         // verdict of a suppressed reboot
const unsigned int kAutonomicDelayedReboot = 1;   // autonomic condition code
const char kMarkerName[] = "reboot-required";
const char kListName[] = "reboot-required.pkgs";
const char kListLine[] = "quillon";

// Fills `what` with "<path>: <reason>" and returns `error`.
int Failed(char* what, unsigned size, const char* path, int error,
           const std::string& why) {
  snprintf(what, size, "%s: %s", path,
           why.empty() ? strerror(error) : why.c_str());
  return error != 0 ? error : EIO;
}

// Whether `text` holds `line` as one whole line.
bool HasLine(const std::string& text, const char* line) {
  return ("\n" + text + "\n").find("\n" + std::string(line) + "\n") !=
         std::string::npos;
}

}  // namespace

bool RebootLeftUndone(unsigned int finalCode, bool autonomicRun) {
  if (autonomicRun) return finalCode == kAutonomicDelayedReboot;
  return (finalCode & kDelayedRebootBit) != 0 ||
         finalCode == kRebootSuppressed;
}

int WriteRebootMarker(const char* directory, char* what, unsigned whatSize) {
  std::string marker = std::string(directory) + "/" + kMarkerName;
  std::string list = std::string(directory) + "/" + kListName;
  std::string why;

  int fd = OpenOwnFile(marker.c_str(), O_WRONLY | O_CREAT, 0644, &why);
  if (fd < 0) return Failed(what, whatSize, marker.c_str(), errno, why);
  close(fd);

  fd = OpenOwnFile(list.c_str(), O_RDWR | O_APPEND | O_CREAT, 0644, &why);
  if (fd < 0) return Failed(what, whatSize, list.c_str(), errno, why);
  // Another run may be extending the list at this moment.
  int error = FlockRetrying(fd, LOCK_EX) != 0 ? errno : 0;
  std::string text;
  if (error == 0) error = ReadWhole(fd, std::string::npos, &text);
  if (error == 0 && !HasLine(text, kListLine)) {
    std::string add = (text.empty() || text.back() == '\n') ? "" : "\n";
    add += std::string(kListLine) + "\n";
    if (!WriteAll(fd, add.data(), add.size())) error = errno;
  }
  close(fd);  // releases the lock
  if (error != 0) return Failed(what, whatSize, list.c_str(), error, "");
  return 0;
}

void MarkRebootIfLeftUndone(unsigned int finalCode, bool autonomicRun,
                            const char* directory, const SystemLog& log) {
  if (!RebootLeftUndone(finalCode, autonomicRun)) return;
  char what[1200] = "";
  int error;
  try {
    error = WriteRebootMarker(directory, what, sizeof(what));
  } catch (const std::bad_alloc&) {
    error = ENOMEM;
    snprintf(what, sizeof(what), "%s: out of memory", directory);
  }
  if (error == 0) return;
  log.Report(LOG_WARNING, "reboot required (final code 0x%X), but the marker "
             "could not be written: %s", finalCode, what);
}
