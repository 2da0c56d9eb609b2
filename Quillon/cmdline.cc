#include "cmdline.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "quillon.h"

namespace {

void CopyToBuffer(char* buffer, size_t size, const std::string& value) {
  memset(buffer, 0, size);
  memcpy(buffer, value.data(), value.size() < size ? value.size() : size - 1);
}

}  // namespace

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
  std::vector<std::string> dropped;
  return evaluateCmdlineOptions(argc, argv, &dropped);
}

int evaluateCmdlineOptions(int argc, char** argv,
                           std::vector<std::string>* warnings) {
  CmdlineOptions o = ParseCmdline(argc, argv);
  if (o.action != CmdlineOptions::kRun) {  // version or usage, and the end
    if (o.action == CmdlineOptions::kVersion)
      printf("%u.%u.%u.%u\n", QUILLON_VERSION_MAJOR, QUILLON_VERSION_MINOR,
             QUILLON_VERSION_PATCH, 0u);
    else
      Usage(argv[0]);
    fflush(stdout);
    exit(0);
  }
  *warnings = std::move(o.warnings);
  debug = o.debug;
  agt_no_reboot = o.noReboot;
  update = o.update;
  force = o.force;
  expert = o.expert;
  autonomic = o.autonomic;
  reset = o.values.reset;
  externalOption = o.values.option;
  externalParameter = o.values.parameter;
  CopyToBuffer(externalResetBuffer, sizeof(externalResetBuffer),
               o.values.resetValue);
  if (o.values.option)
    CopyToBuffer(externalOptionBuffer, sizeof(externalOptionBuffer),
                 o.values.optionValue);
  if (o.values.parameter)
    CopyToBuffer(externalParameterBuffer, sizeof(externalParameterBuffer),
                 o.values.parameterValue);
  return 0;
}
