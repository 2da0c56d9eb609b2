// pxtool manifest PACKAGE_DIR [ARGUMENT_FILE]: writes SHA256SUMS beside the
// argument file.

#include "pxtool.h"
#include "signing.h"

namespace pxtool {

using namespace signing;

int RunManifest(int argc, char** argv) {
  Arguments args;
  int status = kSuccess;
  if (!ParseArguments("manifest", argc, argv, {}, &args, &status)) return status;
  if (!EnterPackage(args.packageDir)) return kFailure;
  std::string text;
  PackageLayout layout;
  return WriteManifest(args.argFile, &text, &layout);
}

}  // namespace pxtool
