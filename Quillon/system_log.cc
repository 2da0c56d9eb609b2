#include "system_log.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

void SystemLog::Report(int priority, const char* format, ...) const {
  char text[1200];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (file_ == nullptr) {
    openlog("Quillon", LOG_PID, LOG_DAEMON);
    syslog(priority, "Quillon: %s", text);
    closelog();  // no descriptor left for a command to inherit
    return;
  }
  if (*file_ == '\0') return;
  int fd = open(file_, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                0600);
  if (fd < 0) return;
  dprintf(fd, "Quillon: %s\n", text);
  close(fd);
}
