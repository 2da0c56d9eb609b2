#include "talbot_codes.h"

namespace {

struct CodeText {
  unsigned int code;
  const char* text;
};

// Some texts carry a leading or trailing blank; they are kept as the
// installer reports them.
const CodeText kTexts[] = {
    {0, "Completed successfully"},
    {1, "Completed successfully - reboot required"},
    {2, "Completed successfully - immediate reboot required"},
    {3, "Incorrect option(s) or missing parameter(s) "},
    {4, "Syntax error in KBX file"},
    {5, "Corrupt registry data"},
    {6, "Wrong or missing files"},
    {7, "Information missing"},
    {8, "Installation process failed"},
    {9, "Dependency error"},
    {10, "Completed successfully - power cylce required"},
    {11, "Internal error"},
    {12, "Talbot version is out of date"},
    {13, "Wrong XML version"},
    {14, "Talbot already running"},
    {15, "Missing file"},
    {16, "Target hardware not found"},
    {17, "TWrong target system"},
    {18, "Insufficient permissions"},
    {19, "Not terminal server capbable"},
    {20, "Required Kelvane agents are not installed"},
    {21, "Required software package is not installed"},
    {22, "Required kernel module is not installed"},
    {23, "Execution prohibited due to active BitLocker"},
    {25, "Competing application is already installed"},
    {55, "Fatal error"},
    {56, "Insufficient user privileges"},
    {57, "Cannot be executed on a virtual machine"},
    {58, "Cannot be used on a system running Hyper-V, Xen or VMWware ESX"},
    {59, "Operating system not supported"},
    {60, "Installation with attached storage subsystem not supported"},
    {61, " Insufficient disk space"},
    {62, "Shutdown of all virtual systems required"},
    {63, "Downgrade prohibited"},
    {64, "A higher version is already installed"},
    {65, "At least one unfulfilled prerequisite prohibits successful execution"},
    {66, "Wrong prior version installed"},
    {67, "Only forced firmware substitute implemented"},
};

}  // namespace

const char* CTalbotErrorCodes::ErrorCodeToString(unsigned int code) {
  for (const CodeText& entry : kTexts) {
    if (entry.code == code) return entry.text;
  }
  return "Unknown error";
}
