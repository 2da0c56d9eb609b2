#include "signing.h"

#include "pxtool.h"

namespace pxtool {
namespace signing {

int Failure(const std::string& file, const std::string& why) {
  fprintf(stderr, "pxtool: %s: %s\n", file.c_str(), why.c_str());
  return kFailure;
}

bool ParseArguments(const char* command, int argc, char** argv,
                    const std::vector<std::string>& allowed, Arguments* out,
                    int* status) {
  std::vector<std::string> positional;
  for (int i = 0; i < argc; ++i) {
    std::string word = argv[i];
    if (word.compare(0, 2, "--") == 0) {
      std::string name = word.substr(2), value;
      size_t equals = name.find('=');
      if (equals != std::string::npos) {
        value = name.substr(equals + 1);
        name.resize(equals);
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        *status = UsageError((std::string(command) + ": --" + name + " needs a value").c_str(), "");
        return false;
      }
      bool known = false;
      for (const std::string& a : allowed) known |= a == name;
      if (!known) {
        *status = UsageError((std::string(command) + ": unknown option ").c_str(), word.c_str());
        return false;
      }
      out->options[name].push_back(value);
    } else {
      positional.push_back(word);
    }
  }
  if (positional.empty() || positional.size() > 2) {
    *status = UsageError(command, ": needs PACKAGE_DIR [ARGUMENT_FILE]");
    return false;
  }
  out->packageDir = positional[0];
  if (positional.size() == 2) out->argFile = positional[1];
  return true;
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
  return kSuccess;
}

}  // namespace signing
}  // namespace pxtool
