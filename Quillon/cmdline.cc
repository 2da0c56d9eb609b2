#include "cmdline.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quillon.h"

namespace {

std::vector<std::string> g_warnings;

const size_t kWorkAreaSize = 512;  // szArg: the value before cleaning

// Copies at most size - 1 characters of `value` into `buffer` and terminates
// it. Records a warning when the value had to be cut.
void CopyBounded(char* buffer, size_t size, const char* value,
                 const char* option, const char* stage) {
  size_t length = strlen(value);
  if (length >= size) {
    char message[200];
    snprintf(message, sizeof(message),
             "\nValue of %s is %zu characters long %s; shortened to %zu",
             option, length, stage, size - 1);
    g_warnings.push_back(message);
    length = size - 1;
  }
  memcpy(buffer, value, length);
  buffer[length] = '\0';
}

// Copies the option's value into the work area, cleans it there and returns
// the cleaned text (inside `szArg`).
char* CleanValue(char* szArg, const char* value, const char* option) {
  CopyBounded(szArg, kWorkAreaSize, value, option, "on the command line");
  return cleanStringA(szArg);
}

}  // namespace

const std::vector<std::string>& CmdlineWarnings() { return g_warnings; }

char* cleanStringA(char* tmp_string) {
  for (char* p = tmp_string; *p; ++p) {
    if (*p == '"' || *p == '\t' || *p == '\n') *p = ' ';
  }
  size_t length = strlen(tmp_string);
  while (length > 0 && tmp_string[length - 1] == ' ') tmp_string[--length] = '\0';
  char* start = tmp_string;
  while (*start == ' ') ++start;
  return start;
}

void Usage(char* pToolName) {
  if (pToolName == nullptr) return;
  const char* s = pToolName;
  printf("USAGE :\n");
  printf("\t%s\t-v|--version\t\t\tprint version\n", s);
  printf("\t%s\t-h|--help\t\t\tprint usage\n", s);
  printf("\t%s\t[path of workdir] autonomic -force|-update|-expert "
         "[-external-variable <external Variable string>] [-n]\t\twork in "
         "autonomic mode inside wrps\n",
         s);
  printf("\t%s\t[path of workdir] kbxmode   -force|-update|-expert "
         "[-external-variable <external Variable string>] [-n]\t\twork in "
         "kbxmode\n",
         s);
  printf("\t%s\t<path of workDir> <path and name of argument file> [-n] "
         "[-d]\twork in classic Marlow mode\n",
         s);
  printf("\t%s\t<path of workDir>\t\twork in local mode (Fleetcare of "
         "Kelvane Agents)\n",
         s);
}

int evaluateCmdlineOptions(int argc, char** argv) {
  char szArg[kWorkAreaSize];
  g_warnings.clear();
  for (int i = 0; i < argc; ++i) {
    const char* arg = argv[i];
    // The value of a value option: the next argument, or empty when the
    // option is the last one.
    const char* value = (i + 1 < argc) ? argv[i + 1] : "";

    if (!strcmp(arg, "-v") || !strcmp(arg, "-version")) {
      printf("%u.%u.%u.%u\n", QUILLON_VERSION_MAJOR, QUILLON_VERSION_MINOR,
             QUILLON_VERSION_PATCH, 0u);
      fflush(stdout);
      exit(0);
    } else if (!strcmp(arg, "-h") || !strcmp(arg, "-help")) {
      Usage(argv[0]);
      fflush(stdout);
      exit(0);
    } else if (!strcmp(arg, "-d")) {
      debug = true;
    } else if (!strcmp(arg, "-n")) {
      agt_no_reboot = true;
    } else if (!strcmp(arg, "-update")) {
      update = true, force = false, expert = false;
    } else if (!strcmp(arg, "-force")) {
      update = false, force = true, expert = false;
    } else if (!strcmp(arg, "-expert")) {
      update = false, force = false, expert = true;
    } else if (!strcmp(arg, "autonomic") || !strcmp(arg, "kbxmode")) {
      autonomic = true;
    } else if (!strcmp(arg, "-reset")) {
      char* cleaned = CleanValue(szArg, value, arg);
      CopyBounded(externalResetBuffer, sizeof(externalResetBuffer), cleaned,
                  arg, "after cleaning");
      if (!strcmp(externalResetBuffer, "<ExternalReset>"))
        memset(externalResetBuffer, 0, sizeof(externalResetBuffer));
      else
        reset = true;
      ++i;
    } else if (!strcmp(arg, "-external-variable")) {
      externalOption = true;
      char* cleaned = CleanValue(szArg, value, arg);
      CopyBounded(externalOptionBuffer, sizeof(externalOptionBuffer), cleaned,
                  arg, "after cleaning");
      if (!strcmp(externalOptionBuffer, "<ExternalVariable>"))
        memset(externalOptionBuffer, 0, sizeof(externalOptionBuffer));
      ++i;
    } else if (!strcmp(arg, "-external-parameter")) {
      externalParameter = true;
      char* cleaned = CleanValue(szArg, value, arg);
      // The marker is longer than the buffer; it is recognised by its first
      // sixteen characters.
      if (strncmp(cleaned, "<ExternalParameter>", 16) != 0)
        CopyBounded(externalParameterBuffer, sizeof(externalParameterBuffer),
                    cleaned, arg, "after cleaning");
      ++i;
    }
  }
  return 0;
}
