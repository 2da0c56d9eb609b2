#include "package_trust.h"

#include <cstring>

#include "arg_file_digest.h"
#include "report.h"
#include "root_only.h"

const char kTrustedKeysDirectory[] =
    "/etc/norvale/KelvaneSuite/Quillon/trusted-keys";

PackageTrust::PackageTrust(std::string keysDirectory)
    : keysDirectory_(std::move(keysDirectory)) {}

bool PackageTrust::Refuse(const std::string& file, const std::string& why) {
  QREPORT(1, "ERROR : package signature check: %s: %s", file.c_str(),
          why.c_str());
  return false;
}

bool PackageTrust::Load() {
  keys_.clear();
  if (keysDirectory_.empty()) return true;
  std::string file, why;
  if (!LoadTrustedKeys(keysDirectory_, &keys_, &file, &why)) {
    keys_.clear();
    return Refuse(file, "trusted key unusable: " + why);
  }
  return true;
}

bool PackageTrust::CheckRootOnly(const std::vector<UsedPath>& paths) {
  for (const UsedPath& used : paths) {
    std::string why = WhyNotRootOnly(used.path, used.tree);
    if (!why.empty()) {
      QREPORT(1, "ERROR : package signature check: %s; only root may be able "
              "to change what a signed package runs", why.c_str());
      return false;
    }
  }
  return true;
}

bool PackageTrust::CheckPackage(const char* argFile, const char* text,
                                size_t size, const char* fwPath,
                                char* const* names, unsigned int count,
                                bool staging) {
  checksStaging_ = false;
  std::string why;
  std::string listedFwPath;
  std::vector<std::string> listed;
  std::vector<char*> listedNames;
  if (fwPath == nullptr) {  // the run has not listed the package files
    bool hasFwPath = false;
    if (!ListPackage(text, text + strnlen(text, size), &hasFwPath,
                     &listedFwPath, &listed, &why))
      return Refuse(argFile, why);
    for (std::string& name : listed) listedNames.push_back(&name[0]);
    if (hasFwPath) fwPath = listedFwPath.c_str();
    names = listedNames.data();
    count = static_cast<unsigned int>(listedNames.size());
  }
  if (!DescribePackage(argFile, fwPath, names, count, &layout_, &why))
    return Refuse(argFile, why);
  if (!check_.Open(layout_, keys_)) return Refuse(check_.file(), check_.why());

  PristineArgDigest argDigest;
  argDigest.Update(text, size);
  if (!check_.Compare(layout_.argName, argDigest.FinalHex()))
    return Refuse(argFile, check_.why());

  if (staging && !layout_.packageIsHere) {
    nameOfSource_.clear();
    for (const PackageLayout::File& file : layout_.files)
      nameOfSource_[file.path] = file.name;
    checksStaging_ = true;
    return true;
  }
  if (!check_.CompareFilesInPlace(layout_))
    return Refuse(check_.file(), check_.why());
  return true;
}

PXSourceObserver* PackageTrust::Begin(const char* source) {
  if (!nameOfSource_.count(source)) {
    Refuse(source, "not a file of the signed package");
    return nullptr;
  }
  hasher_.sha.FinalHex();  // start afresh
  return &hasher_;
}

bool PackageTrust::End(const char* source) {
  auto name = nameOfSource_.find(source);
  if (name == nameOfSource_.end() ||
      !check_.Compare(name->second, hasher_.sha.FinalHex()))
    return Refuse(name == nameOfSource_.end() ? source : name->second,
                  check_.why() + " (staged copy removed)");
  return true;
}
