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
                                bool staging, TakenLines* record) {
  checksStaging_ = false;
  std::string file, why;
  PackageSource source;
  source.argFile = argFile;
  source.staging = staging;
  if (fwPath == nullptr) {  // the run has not listed the package files
    if (!ListPackage(text, text + strnlen(text, size), autonomic, &source, &why))
      return Refuse(argFile, why);
  } else {
    source.hasFwPath = true;
    source.fwPath = fwPath;
    source.names.assign(names, names + count);
  }
  if (!DescribePackage(source, &layout_, &file, &why))
    return Refuse(file, why);
  PristineArgDigest argDigest;
  argDigest.Update(text, size);
  const std::string argHex = argDigest.FinalHex();
  if (!check_.Open(layout_, keys_)) return Refuse(check_.file(), check_.why());
  if (!record->Load(check_.manifestDigest(), &why)) {
    QREPORT(1, "ERROR : package signature check: %s", why.c_str());
    return false;
  }
  layout_.resumed = !record->empty();
  if (!check_.MatchNames(layout_)) return Refuse(check_.file(), check_.why());

  if (!check_.Compare(layout_.argName, argHex) ||
      !check_.CompareMarks(layout_.argName, argDigest.LinesMarkedTaken(),
                           *record))
    return Refuse(argFile, check_.why());

  // What is not staged is hashed where it lies, before anything is staged.
  bool stagedHere = staging && !layout_.packageIsHere;
  if (!check_.CompareFilesInPlace(layout_, stagedHere))
    return Refuse(check_.file(), check_.why());
  if (stagedHere) {
    nameOfSource_.clear();
    for (const PackageLayout::File& f : layout_.files)
      if (f.listed) nameOfSource_[f.path] = f.name;
    checksStaging_ = true;
  }
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
