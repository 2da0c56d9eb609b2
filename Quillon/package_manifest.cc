#include "package_manifest.h"

#include <set>

const char kManifestName[] = "SHA256SUMS";
const char kSignatureName[] = "SHA256SUMS.minisig";
const char kShippedMarks[] = "# marks shipped taken:";

namespace {

bool OddName(const std::string& name) {
  return name.empty() || NeedsEscape(name) || name.compare(0, 2, "./") == 0 ||
         name.find("/./") != std::string::npos ||
         name.find("//") != std::string::npos || name.back() == '/' ||
         name == "." || name == "..";
}

bool IsLowerHex(const std::string& text) {
  return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Reads the line numbers of a marks line `line`: " N" after the prefix,
// at least one, ascending, without leading zeros. False when malformed.
bool ParseShippedMarks(const std::string& line, std::vector<size_t>* lines) {
  const size_t prefix = sizeof(kShippedMarks) - 1;
  if (line.compare(0, prefix, kShippedMarks) != 0 || line.size() == prefix)
    return false;
  lines->clear();
  for (size_t at = prefix; at < line.size();) {
    size_t end = line.find(' ', at + 1);
    if (end == std::string::npos) end = line.size();
    const std::string number = line.substr(at + 1, end - at - 1);
    if (line[at] != ' ' || number.empty() || number.size() > 15 ||
        number[0] == '0' ||
        number.find_first_not_of("0123456789") != std::string::npos)
      return false;
    size_t value = std::stoul(number);
    if (!lines->empty() && value <= lines->back()) return false;
    lines->push_back(value);
    at = end;
  }
  return true;
}

}  // namespace

std::string ResetBackupPath(const std::string& argFile) {
  return argFile + ".bak";
}

bool NeedsEscape(const std::string& name) {
  return name.find_first_of("\\\r\n") != std::string::npos;
}

std::string FormatManifest(const PackageLayout& layout,
                           const std::string& argDigest,
                           const std::map<std::string, std::string>& digests,
                           const std::vector<size_t>& shippedTaken) {
  std::map<std::string, std::string> lines = digests;
  lines[layout.argName] = argDigest;
  std::string text;
  if (!shippedTaken.empty()) {
    text = kShippedMarks;
    for (size_t line : shippedTaken) text += " " + std::to_string(line);
    text += "\n";
  }
  for (const auto& [name, digest] : lines) text += digest + "  " + name + "\n";
  return text;
}

bool MatchManifest(const std::string& text, const PackageLayout& layout,
                   std::map<std::string, std::string>* digests,
                   std::vector<size_t>* shippedTaken, std::string* name,
                   std::string* why) {
  std::set<std::string> expected = {layout.argName};
  bool relative = true;
  for (const PackageLayout::File& file : layout.files) {
    expected.insert(file.name);
    relative = relative && file.name[0] != '/';
  }
  digests->clear();
  shippedTaken->clear();
  const std::string manifest = kManifestName;
  auto fail = [&](const std::string& concerned, const std::string& reason) {
    *name = concerned;
    *why = reason;
    return false;
  };
  bool marksSeen = false;
  size_t at = 0;
  for (int number = 1; at < text.size(); ++number) {
    size_t lf = text.find('\n', at);
    std::string line = text.substr(at, lf == std::string::npos
                                           ? std::string::npos
                                           : lf - at);
    if (lf != std::string::npos && line[0] == '#') {
      if (marksSeen || !ParseShippedMarks(line, shippedTaken))
        return fail(manifest, "line " + std::to_string(number) +
                                  " is not one \"" + kShippedMarks +
                                  " LINE...\" with ascending line numbers");
      marksSeen = true;
      at = lf + 1;
      continue;
    }
    if (lf == std::string::npos || line.size() < 67 ||
        line.compare(64, 2, "  ") != 0 || !IsLowerHex(line.substr(0, 64)))
      return fail(manifest, "line " + std::to_string(number) +
                                " is not \"HASH  NAME\"" +
                                (lf == text.npos ? " ended by LF" : ""));
    std::string listed = line.substr(66);
    *name = listed;
    if (OddName(listed) || (relative && listed[0] == '/'))
      return fail(listed, "odd name in " + manifest);
    if (digests->count(listed))
      return fail(listed, "listed twice in " + manifest);
    if (!expected.count(listed))
      return fail(listed,
                  "listed in " + manifest + " but missing from the package");
    (*digests)[listed] = line.substr(0, 64);
    at = lf + 1;
  }
  std::set<std::string> passable;
  if (layout.resumed)
    for (const PackageLayout::File& file : layout.files)
      if (!file.listed) passable.insert(file.name);
  for (const std::string& wanted : expected)
    if (!digests->count(wanted) && !passable.count(wanted))
      return fail(wanted, "in the package but not in " + manifest);
  return true;
}

std::vector<size_t> ShippedTaken(const std::string& text) {
  std::vector<size_t> lines;
  for (size_t at = 0; at < text.size();) {
    size_t lf = text.find('\n', at);
    if (lf == std::string::npos) break;
    if (ParseShippedMarks(text.substr(at, lf - at), &lines)) return lines;
    at = lf + 1;
  }
  return {};
}

std::vector<std::string> ListedNames(const std::string& text) {
  std::vector<std::string> names;
  for (size_t at = 0; at < text.size();) {
    size_t lf = text.find('\n', at);
    if (lf == std::string::npos) lf = text.size();
    if (lf - at > 66 && text[at] != '#') names.push_back(text.substr(at + 66, lf - at - 66));
    at = lf + 1;
  }
  return names;
}
