// pxtool sign --key SECRET_KEY PACKAGE_DIR [ARGUMENT_FILE]: writes the
// manifest and signs it (SHA256SUMS.minisig).

#include "pxtool.h"
#include "signing.h"

namespace pxtool {

using namespace signing;

int RunSign(int argc, char** argv) {
  Arguments args;
  int status = kSuccess;
  if (!ParseArguments("sign", argc, argv, {"key", "password-file"}, &args,
                      &status))
    return status;
  if (args.options["key"].size() != 1)
    return UsageError("sign: needs exactly one --key SECRET_KEY", "");
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
  std::string manifest;
  PackageLayout layout;
  status = WriteManifest(args.argFile, &manifest, &layout);
  if (status != kSuccess) return status;
  std::string comment = "timestamp:" + std::to_string(time(nullptr)) +
                        "\tfile:" + kManifestName + "\thashed";
  std::string signaturePath = layout.SignaturePath();
  if (!ReplaceWhole(signaturePath, SignMinisign(key, manifest, comment), "pxtmp", 0644,
                    nullptr, &why, nullptr))
    return Failure(signaturePath, why);
  return kSuccess;
}

}  // namespace pxtool
