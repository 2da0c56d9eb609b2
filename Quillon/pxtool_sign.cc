#include "pxtool_sign.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "arg_file_digest.h"
#include "minisign.h"
#include "package_check.h"
#include "package_manifest.h"
#include "safe_file.h"

namespace {

const int kSuccess = 0, kFailure = 1, kUsage = 2;

int Usage(const std::string& message) {
  fprintf(stderr, "pxtool: %s\nTry 'pxtool --help'.\n", message.c_str());
  return kUsage;
}

int Failure(const std::string& file, const std::string& why) {
  fprintf(stderr, "pxtool: %s: %s\n", file.c_str(), why.c_str());
  return kFailure;
}

// The options of a subcommand: repeated "--NAME VALUE" (or "--NAME=VALUE")
// from `allowed`, then PACKAGE_DIR and an optional ARGUMENT_FILE.
struct Arguments {
  std::map<std::string, std::vector<std::string>> options;
  std::string packageDir;
  std::string argFile = "px.arg";
};

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
        *status = Usage(std::string(command) + ": --" + name + " needs a value");
        return false;
      }
      bool known = false;
      for (const std::string& a : allowed) known |= a == name;
      if (!known) {
        *status = Usage(std::string(command) + ": unknown option " + word);
        return false;
      }
      out->options[name].push_back(value);
    } else {
      positional.push_back(word);
    }
  }
  if (positional.empty() || positional.size() > 2) {
    *status = Usage(std::string(command) + ": needs PACKAGE_DIR [ARGUMENT_FILE]");
    return false;
  }
  out->packageDir = positional[0];
  if (positional.size() == 2) out->argFile = positional[1];
  return true;
}

// The argument file mapped read-only, with its package as a run lists it.
// The current directory is the package directory.
class Package {
 public:
  ~Package() {
    if (text_ != nullptr) munmap(text_, size_);
  }
  bool Load(const std::string& argFile, std::string* file, std::string* why) {
    *file = argFile;
    int fd = open(argFile.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
      *why = strerror(errno);
      if (fd >= 0) close(fd);
      return false;
    }
    size_ = static_cast<size_t>(st.st_size);
    void* map = size_ == 0 ? MAP_FAILED
                           : mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
      *why = size_ == 0 ? "empty argument file" : strerror(errno);
      return false;
    }
    text_ = static_cast<char*>(map);
    bool hasFwPath = false;
    std::string fwPath;
    std::vector<std::string> names;
    if (!ListPackage(text_, text_ + strnlen(text_, size_), &hasFwPath, &fwPath,
                     &names, why))
      return false;
    std::vector<char*> pointers;
    for (std::string& name : names) pointers.push_back(&name[0]);
    return DescribePackage(argFile, hasFwPath ? fwPath.c_str() : nullptr,
                           pointers.data(),
                           static_cast<unsigned int>(pointers.size()),
                           &layout_, why);
  }
  std::string ArgDigest() const {
    PristineArgDigest digest;
    digest.Update(text_, size_);
    return digest.FinalHex();
  }
  const PackageLayout& layout() const { return layout_; }

 private:
  char* text_ = nullptr;
  size_t size_ = 0;
  PackageLayout layout_;
};

// Replaces `path` with `text` through a new file renamed over it.
bool WriteWhole(const std::string& path, const std::string& text,
                std::string* why) {
  std::string temp;
  int fd = CreateTemporaryBeside(path, "pxtmp", 0644, &temp, why);
  if (fd < 0) {
    if (why->empty()) *why = strerror(errno);
    return false;
  }
  bool ok = WriteAll(fd, text.data(), text.size()) && fsync(fd) == 0;
  if (!ok) *why = strerror(errno);
  if (close(fd) != 0 && ok) {
    ok = false;
    *why = strerror(errno);
  }
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    *why = strerror(errno);
  }
  if (!ok) unlink(temp.c_str());
  return ok;
}

bool EnterPackage(const std::string& dir) {
  if (chdir(dir.c_str()) == 0) return true;
  Failure(dir, strerror(errno));
  return false;
}

// Writes the manifest of the package in the current directory; `text`
// receives it.
int WriteManifest(const std::string& argFile, std::string* text,
                  std::string* manifestPath) {
  Package package;
  std::string file, why;
  if (!package.Load(argFile, &file, &why)) return Failure(file, why);
  std::map<std::string, std::string> digests;
  for (const PackageLayout::File& f : package.layout().files) {
    std::string digest;
    if (!HashFile(f.path, &digest, &why)) return Failure(f.path, why);
    digests[f.name] = digest;
  }
  *text = FormatManifest(package.layout(), package.ArgDigest(), digests);
  *manifestPath = package.layout().ManifestPath();
  if (!WriteWhole(*manifestPath, *text, &why))
    return Failure(*manifestPath, why);
  return kSuccess;
}

}  // namespace

int RunManifest(int argc, char** argv) {
  Arguments args;
  int status = kSuccess;
  if (!ParseArguments("manifest", argc, argv, {}, &args, &status)) return status;
  if (!EnterPackage(args.packageDir)) return kFailure;
  std::string text, path;
  return WriteManifest(args.argFile, &text, &path);
}

int RunSign(int argc, char** argv) {
  Arguments args;
  int status = kSuccess;
  if (!ParseArguments("sign", argc, argv, {"key", "password-file"}, &args,
                      &status))
    return status;
  if (args.options["key"].size() != 1)
    return Usage("sign: needs exactly one --key SECRET_KEY");
  const std::string keyPath = args.options["key"][0];
  std::string keyText, why;
  if (!ReadSmallFile(keyPath, kMinisignMaxFile, &keyText, &why))
    return Failure(keyPath, why);
  std::string password;
  if (MinisignSecretKeyIsEncrypted(keyText)) {
    const std::vector<std::string>& files = args.options["password-file"];
    if (!files.empty()) {
      if (!ReadSmallFile(files.back(), 4096, &password, &why))
        return Failure(files.back(), why);
      size_t lf = password.find('\n');
      if (lf != std::string::npos) password.resize(lf);
    } else if (const char* env = getenv("PXTOOL_KEY_PASSWORD")) {
      password = env;
    } else {
      return Failure(keyPath, "key is encrypted: give its password in "
                              "PXTOOL_KEY_PASSWORD or --password-file");
    }
  }
  MinisignSecretKey key;
  if (!ParseMinisignSecretKey(keyText, password, &key, &why))
    return Failure(keyPath, why);
  if (!EnterPackage(args.packageDir)) return kFailure;
  std::string manifest, manifestPath;
  status = WriteManifest(args.argFile, &manifest, &manifestPath);
  if (status != kSuccess) return status;
  std::string comment = "timestamp:" + std::to_string(time(nullptr)) +
                        "\tfile:" + kManifestName + "\thashed";
  std::string signaturePath = manifestPath + ".minisig";
  if (!WriteWhole(signaturePath, SignMinisign(key, manifest, comment), &why))
    return Failure(signaturePath, why);
  return kSuccess;
}

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
      !check.CompareFilesInPlace(package.layout()))
    return Failure(check.file(), check.why());
  printf("%s: signature good, %zu package files match\n",
         args.argFile.c_str(), package.layout().files.size());
  return kSuccess;
}
