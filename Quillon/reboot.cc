#include "reboot.h"

#include <errno.h>

#include <cstdio>
#include <string>

#include "interrupts.h"
#include "report.h"
#include "run_status.h"
#include "shell.h"

const char* pRebootProgram = "/opt/QRTX/QRTXpxa/bin/help2";

namespace {
const int kMaxRebootCalls = 19;
}  // namespace

unsigned int DoAReboot() {
  SetExecStatus(4, 0);
  // "%s %2d \"%s\"": the program, the number 0 in a field of width two and
  // the reason in quotes.
  char reason[] = "Reboot for a Firmware flash";
  int length = snprintf(nullptr, 0, "%s %2d \"%s\"", pRebootProgram, 0, reason);
  std::string buf(static_cast<size_t>(length > 0 ? length : 0), '\0');
  snprintf(&buf[0], buf.size() + 1, "%s %2d \"%s\"", pRebootProgram, 0, reason);
  if (debug) QLOG("Reboot calling %s", buf.c_str());

  int waitStatus = -1;
  int calls = 0;
  do {
    StopSignalsHeld held;  // the shell's group is recorded before a signal
    errno = 0;
    waitStatus = CurrentShell()->System(buf.c_str(), held.CommandMask());
    ++calls;
  } while (waitStatus != 0 && errno == EINTR && calls < kMaxRebootCalls);
  int savedErrno = errno;

  if (debug && hLogFile != nullptr) {
    fprintf(hLogFile, "reboot called %d times, errno %d\n", calls, savedErrno);
    fflush(hLogFile);
  }
  unsigned int value = DecodeWaitStatus(waitStatus);
  if (debug || value != 0)
    QLOG("Reboot retuned %d, errno %d", static_cast<int>(value), savedErrno);
  return value;
}
