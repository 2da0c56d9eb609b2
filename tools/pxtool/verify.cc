// pxtool verify --key PUBLIC_KEY... PACKAGE_DIR [ARGUMENT_FILE]: checks the
// signature, the argument file with its marks and every file of the
// package, as a run with those keys would. A taken mark that was not
// shipped needs the record of taken lines (taken_lines.h): only when such
// a mark is found must the record be readable (by root).

#include "pxtool.h"
#include "signing.h"

namespace pxtool {

using namespace signing;

int RunVerify(const CommandLine& line, const std::string& stateDirectory) {
  if (!line.Has("key")) return line.UsageError("needs at least one --key PUBLIC_KEY");
  PackageLocation where;
  if (int status = LocateNamedPackage(line, PackageOperands::kRequired, &where)) return status;
  std::vector<MinisignPublicKey> keys;
  for (const std::string& path : line.All("key")) {
    std::string text, why;
    MinisignPublicKey key;
    if (!ReadSmallFile(path, kMinisignMaxFile, &text, &why) ||
        !ParseMinisignPublicKey(text, &key, &why))
      return Failure(path, why);
    keys.push_back(key);
  }
  if (!EnterPackage(where.dir)) return kExitFailure;
  const std::string& argFile = where.argFile;
  Package package;
  std::string file, why;
  if (!package.Load(argFile, &file, &why)) return Failure(file, why);
  PackageCheck check;
  if (!check.Open(package.layout(), keys))
    return Failure(check.file(), check.why());
  TakenLines record(stateDirectory);
  std::string recordWhy;
  bool recordRead = record.Load(check.manifestDigest(), &recordWhy);
  package.SetResumed(!record.empty());
  const std::string& argName = package.layout().argName;
  if (!check.MatchNames(package.layout()) ||
      !check.Compare(argName, package.ArgDigest()))
    return Failure(check.file(), check.why());
  if (!check.CompareMarks(argName, package.MarkedTaken(), record)) {
    if (!recordRead) fprintf(stderr, "pxtool: %s\n", recordWhy.c_str());
    return Failure(check.file(), check.why());
  }
  if (!check.CompareFilesInPlace(package.layout(), false))
    return Failure(check.file(), check.why());
  printf("%s: signature good, %zu package files match\n",
         argFile.c_str(), package.layout().files.size());
  return kExitSuccess;
}

}  // namespace pxtool
