#include "package_manifest.h"

#include <sys/stat.h>

#include <algorithm>
#include <set>

const char kManifestName[] = "SHA256SUMS";
const char kSignatureName[] = "SHA256SUMS.minisig";

namespace {

// The path's components without empty and "." ones; `absolute` tells
// whether it began with "/".
std::vector<std::string> Components(const std::string& path, bool* absolute) {
  *absolute = !path.empty() && path[0] == '/';
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(at, slash - at);
    if (!part.empty() && part != ".") parts.push_back(part);
    at = slash + 1;
  }
  return parts;
}

std::string Join(const std::vector<std::string>& parts, bool absolute) {
  std::string path = absolute ? "/" : "";
  for (size_t i = 0; i < parts.size(); ++i)
    path += (i ? "/" : "") + parts[i];
  return path;
}

bool Escaped(const std::string& name) {
  return name.find_first_of("\\\r\n") != std::string::npos;
}

bool SameDirectory(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool OddName(const std::string& name) {
  return name.empty() || Escaped(name) || name.compare(0, 2, "./") == 0 ||
         name.find("/./") != std::string::npos ||
         name.find("//") != std::string::npos || name.back() == '/' ||
         name == "." || name == "..";
}

bool IsLowerHex(const std::string& text) {
  return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

std::string ResetBackupPath(const std::string& argFile) {
  return argFile + ".bak";
}

bool DescribePackage(const std::string& argFile, const char* fwPath,
                     char* const* names, unsigned int count,
                     PackageLayout* layout, std::string* why) {
  layout->argFile = argFile;
  size_t slash = argFile.rfind('/');
  layout->directory = slash == std::string::npos ? "."
                      : slash == 0               ? "/"
                                                 : argFile.substr(0, slash);
  layout->argName = slash == std::string::npos ? argFile
                                               : argFile.substr(slash + 1);
  layout->files.clear();
  layout->packageIsHere = fwPath != nullptr && *fwPath != '\0' &&
                          SameDirectory(layout->directory, fwPath);
  if (Escaped(layout->argName) || layout->argName.empty()) {
    *why = "\"" + argFile + "\": argument file name cannot be listed";
    return false;
  }
  if (fwPath == nullptr) return true;

  // The way from the manifest's directory to the package directory.
  bool fwAbsolute = false, dirAbsolute = false;
  std::vector<std::string> prefix;
  if (!layout->packageIsHere) {
    prefix = Components(fwPath, &fwAbsolute);
    if (!fwAbsolute) {
      std::vector<std::string> up;
      for (const std::string& part : Components(layout->directory, &dirAbsolute)) {
        if (part == "..") {
          *why = "\"" + argFile + "\": argument file path with \"..\" (give "
                 "it without)";
          return false;
        }
        up.push_back("..");
      }
      if (dirAbsolute) {
        *why = "\"" + argFile + "\": absolute argument file path with a "
               "relative FWPATH (give it relative)";
        return false;
      }
      prefix.insert(prefix.begin(), up.begin(), up.end());
    }
  }
  const std::set<std::string> runFiles = {
      layout->argName, kManifestName, kSignatureName, "Quillon.log",
      "HandlerStatus.txt", "HandlerStatus.txt.new",
      ResetBackupPath(layout->argName)};
  std::set<std::string> seen;
  for (unsigned int i = 0; i < count; ++i) {
    std::string entry = names[i];
    if (layout->packageIsHere && runFiles.count(entry)) continue;
    std::string path = std::string(fwPath) + "/" + entry;
    if (Escaped(entry)) {
      *why = "\"" + path + "\": file name holds a backslash, CR or LF";
      return false;
    }
    std::vector<std::string> parts = prefix;
    parts.push_back(entry);
    std::string name = Join(parts, fwAbsolute);
    if (name == layout->argName || !seen.insert(name).second) {
      *why = "\"" + path + "\": manifest name \"" + name + "\" used twice";
      return false;
    }
    layout->files.push_back({name, path});
  }
  std::sort(layout->files.begin(), layout->files.end(),
            [](const PackageLayout::File& a, const PackageLayout::File& b) {
              return a.name < b.name;
            });
  return true;
}

std::string FormatManifest(const PackageLayout& layout,
                           const std::string& argDigest,
                           const std::map<std::string, std::string>& digests) {
  std::map<std::string, std::string> lines = digests;
  lines[layout.argName] = argDigest;
  std::string text;
  for (const auto& [name, digest] : lines) text += digest + "  " + name + "\n";
  return text;
}

bool MatchManifest(const std::string& text, const PackageLayout& layout,
                   std::map<std::string, std::string>* digests,
                   std::string* name, std::string* why) {
  std::set<std::string> expected = {layout.argName};
  bool relative = true;
  for (const PackageLayout::File& file : layout.files) {
    expected.insert(file.name);
    relative = file.name[0] != '/';
  }
  digests->clear();
  size_t at = 0;
  for (int number = 1; at < text.size(); ++number) {
    size_t lf = text.find('\n', at);
    std::string line = text.substr(at, lf == std::string::npos
                                           ? std::string::npos
                                           : lf - at);
    if (lf == std::string::npos || line.size() < 67 ||
        line.compare(64, 2, "  ") != 0 || !IsLowerHex(line.substr(0, 64))) {
      *name = std::string(kManifestName);
      *why = "line " + std::to_string(number) + " is not \"HASH  NAME\"";
      if (lf == std::string::npos) *why += " ended by LF";
      return false;
    }
    std::string listed = line.substr(66);
    *name = listed;
    if (OddName(listed) ||
        (relative && listed[0] == '/')) {
      *why = "odd name in " + std::string(kManifestName);
      return false;
    }
    if (digests->count(listed)) {
      *why = "listed twice in " + std::string(kManifestName);
      return false;
    }
    if (!expected.count(listed)) {
      *why = "listed in " + std::string(kManifestName) +
             " but missing from the package";
      return false;
    }
    (*digests)[listed] = line.substr(0, 64);
    at = lf + 1;
  }
  for (const std::string& wanted : expected) {
    if (!digests->count(wanted)) {
      *name = wanted;
      *why = "in the package but not in " + std::string(kManifestName);
      return false;
    }
  }
  return true;
}
