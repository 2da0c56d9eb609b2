#include "cmdline_options.h"

#include <cstdio>
#include <cstring>

#include "codes.h"

namespace {

const size_t kWorkAreaSize = 512;  // szArg: the value before cleaning

// Copies at most size - 1 characters of `value` and records a warning when
// the value had to be cut.
std::string CopyBounded(size_t size, const char* value, const char* option,
                        const char* stage, std::vector<std::string>* warnings) {
  size_t length = strlen(value);
  if (length >= size) {
    char message[200];
    snprintf(message, sizeof(message),
             "\nValue of %s is %zu characters long %s; shortened to %zu",
             option, length, stage, size - 1);
    warnings->push_back(message);
    length = size - 1;
  }
  return std::string(value, length);
}

// The option's value bounded to the work area and cleaned there.
std::string CleanValue(const char* value, const char* option,
                       std::vector<std::string>* warnings) {
  char szArg[kWorkAreaSize];
  std::string work = CopyBounded(kWorkAreaSize, value, option,
                                 "on the command line", warnings);
  memcpy(szArg, work.c_str(), work.size() + 1);
  return cleanStringA(szArg);
}

}  // namespace

CmdlineOptions ParseCmdline(int argc, char** argv) {
  CmdlineOptions o;
  for (int i = 0; i < argc; ++i) {
    const char* arg = argv[i];
    // The value of a value option: the next argument, or empty when the
    // option is the last one.
    const char* value = (i + 1 < argc) ? argv[i + 1] : "";

    if (!strcmp(arg, "-v") || !strcmp(arg, "-version")) {
      o.action = CmdlineOptions::kVersion;
      return o;
    } else if (!strcmp(arg, "-h") || !strcmp(arg, "-help")) {
      o.action = CmdlineOptions::kHelp;
      return o;
    } else if (!strcmp(arg, "-d")) {
      o.debug = true;
    } else if (!strcmp(arg, "-n")) {
      o.noReboot = true;
    } else if (!strcmp(arg, "-update")) {
      o.update = true, o.force = false, o.expert = false;
    } else if (!strcmp(arg, "-force")) {
      o.update = false, o.force = true, o.expert = false;
    } else if (!strcmp(arg, "-expert")) {
      o.update = false, o.force = false, o.expert = true;
    } else if (!strcmp(arg, "autonomic") || !strcmp(arg, "kbxmode")) {
      o.autonomic = true;
    } else if (!strcmp(arg, "-reset")) {
      std::string cleaned = CopyBounded(
          EXTERNAL_RESET_SIZE, CleanValue(value, arg, &o.warnings).c_str(),
          arg, "after cleaning", &o.warnings);
      if (cleaned == "<ExternalReset>") {
        o.values.resetValue.clear();
      } else {
        o.values.reset = true;
        o.values.resetValue = cleaned;
      }
      ++i;
    } else if (!strcmp(arg, "-external-variable")) {
      o.values.option = true;
      std::string cleaned = CopyBounded(
          EXTERNAL_OPTION_SIZE, CleanValue(value, arg, &o.warnings).c_str(),
          arg, "after cleaning", &o.warnings);
      o.values.optionValue = cleaned == "<ExternalVariable>" ? "" : cleaned;
      ++i;
    } else if (!strcmp(arg, "-external-parameter")) {
      o.values.parameter = true;
      // The marker is longer than the buffer; it is recognised by its first
      // sixteen characters, and leaves the value as it was.
      std::string cleaned = CleanValue(value, arg, &o.warnings);
      if (cleaned.compare(0, 16, "<ExternalParamet") != 0)
        o.values.parameterValue =
            CopyBounded(EXTERNAL_PARAMETER_SIZE, cleaned.c_str(), arg,
                        "after cleaning", &o.warnings);
      ++i;
    }
  }
  return o;
}

char* cleanStringA(char* tmp_string) {
  for (char* p = tmp_string; *p; ++p) {
    if (*p == '"' || *p == '\t' || *p == '\n') *p = ' ';
  }
  size_t length = strlen(tmp_string);
  while (length > 0 && tmp_string[length - 1] == ' ') tmp_string[--length] = '\0';
  return tmp_string + strspn(tmp_string, " ");
}
