// pxtool verify --key PUBLIC_KEY... PACKAGE_DIR [ARGUMENT_FILE]: checks the
// signature, the argument file and every file of the package.

#include "pxtool.h"
#include "signing.h"

namespace pxtool {

using namespace signing;

int RunVerify(int argc, char** argv) {
  Arguments args;
  int status = kSuccess;
  if (!ParseArguments("verify", argc, argv, {"key"}, &args, &status))
    return status;
  if (args.options["key"].empty())
    return Usage("verify: needs at least one --key PUBLIC_KEY");
  std::vector<MinisignPublicKey> keys;
  for (const std::string& path : args.options["key"]) {
    std::string text, why;
    MinisignPublicKey key;
    if (!ReadSmallFile(path, kMinisignMaxFile, &text, &why) ||
        !ParseMinisignPublicKey(text, &key, &why))
      return Failure(path, why);
    keys.push_back(key);
  }
  if (!EnterPackage(args.packageDir)) return kFailure;
  Package package;
  std::string file, why;
  if (!package.Load(args.argFile, &file, &why)) return Failure(file, why);
  PackageCheck check;
  if (!check.Open(package.layout(), keys) ||
      !check.Compare(package.layout().argName, package.ArgDigest()) ||
      !check.CompareFilesInPlace(package.layout(), false))
    return Failure(check.file(), check.why());
  printf("%s: signature good, %zu package files match\n",
         args.argFile.c_str(), package.layout().files.size());
  return kSuccess;
}

}  // namespace pxtool
