#include "signing.h"

#include "pxtool.h"

namespace pxtool {
namespace signing {

int Failure(const std::string& file, const std::string& why) {
  fprintf(stderr, "pxtool: %s: %s\n", file.c_str(), why.c_str());
  return kExitFailure;
}

bool EnterPackage(const std::string& dir) {
  if (chdir(dir.c_str()) == 0) return true;
  Failure(dir, strerror(errno));
  return false;
}

int WriteManifest(const std::string& argFile, std::string* text,
                  PackageLayout* layout) {
  Package package;
  std::string file, why;
  if (!package.Load(argFile, &file, &why)) return Failure(file, why);
  std::map<std::string, std::string> digests;
  if (!HashPackageFiles(package.layout(), &digests, &file, &why))
    return Failure(file, why);
  *text = FormatManifest(package.layout(), package.ArgDigest(), digests,
                         package.MarkedTaken());
  *layout = package.layout();
  if (!ReplaceWhole(layout->ManifestPath(), *text, "pxtmp", 0644, nullptr, &why, nullptr))
    return Failure(layout->ManifestPath(), why);
  return kExitSuccess;
}

}  // namespace signing
}  // namespace pxtool
