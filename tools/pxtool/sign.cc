// pxtool sign --key SECRET_KEY PACKAGE_DIR [ARGUMENT_FILE]: writes the
// manifest and signs it (SHA256SUMS.minisig). An encrypted key's password
// comes from --password-file, else PXTOOL_KEY_PASSWORD, else the terminal
// (password_prompt.h); without any of them signing fails.

#include "password_prompt.h"
#include "pxtool.h"
#include "signing.h"

namespace pxtool {

using namespace signing;

int RunSign(const CommandLine& line) {
  std::vector<std::string> keys = line.All("key");
  if (keys.size() != 1) return line.UsageError("needs exactly one --key SECRET_KEY");
  PackageLocation where;
  if (int status = LocateNamedPackage(line, PackageOperands::kRequired, &where)) return status;
  const std::string keyPath = keys[0];
  std::string keyText, why;
  if (!ReadSmallFile(keyPath, kMinisignMaxFile, &keyText, &why))
    return Failure(keyPath, why);
  std::string password;
  if (MinisignSecretKeyIsEncrypted(keyText)) {
    const char* file = line.Last("password-file");
    const char* env = getenv("PXTOOL_KEY_PASSWORD");
    if (file != nullptr) {
      if (!ReadSmallFile(file, 4096, &password, &why)) return Failure(file, why);
      size_t lf = password.find('\n');
      if (lf != std::string::npos) password.resize(lf);
    } else if (env != nullptr) {
      password = env;
    } else {
      PromptResult asked = ReadPasswordFromTerminal("Password: ", &password, &why);
      if (asked == PromptResult::kFailed) return Failure(keyPath, why);
      if (asked == PromptResult::kNoTerminal)
        return Failure(keyPath, "key is encrypted: give its password in "
                                "PXTOOL_KEY_PASSWORD or --password-file");
    }
  }
  MinisignSecretKey key;
  if (!ParseMinisignSecretKey(keyText, password, &key, &why))
    return Failure(keyPath, why);
  if (!EnterPackage(where.dir)) return kExitFailure;
  std::string manifest;
  PackageLayout layout;
  if (int status = WriteManifest(where.argFile, &manifest, &layout)) return status;
  std::string comment = "timestamp:" + std::to_string(time(nullptr)) +
                        "\tfile:" + kManifestName + "\thashed";
  std::string signaturePath = layout.SignaturePath();
  if (!ReplaceWhole(signaturePath, SignMinisign(key, manifest, comment), "pxtmp", 0644,
                    nullptr, &why, nullptr))
    return Failure(signaturePath, why);
  return kExitSuccess;
}

}  // namespace pxtool
