// pxtool manifest PACKAGE_DIR [ARGUMENT_FILE]: writes SHA256SUMS beside the
// argument file.

#include "pxtool.h"
#include "signing.h"

namespace pxtool {

using namespace signing;

int RunManifest(const CommandLine& line) {
  PackageLocation where;
  if (int status = LocateNamedPackage(line, PackageOperands::kRequired, &where)) return status;
  if (!EnterPackage(where.dir)) return kExitFailure;
  std::string text;
  PackageLayout layout;
  return WriteManifest(where.argFile, &text, &layout);
}

}  // namespace pxtool
