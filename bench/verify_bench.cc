// What checking the package signature while staging costs, against
// sha256sum over the same 512 MiB of package files.
//
// Makes, in a fresh directory under $BENCH_DIR (default /tmp), a signed
// package: files/ with eight 64 MiB files, four package files at its top
// (half of them scrambled) and four in nested folders below it,
// pkg/px.arg, SHA256SUMS and its signature by a key trusted in keys/. Then
// times, each the fastest of five runs (the machine is shared):
//   sha256sum over the eight files          (a child process)
//   staging alone                           (InitRunA, no check)
//   staging with the check                  (PackageTrust: signature,
//                                            argument file, the nested
//                                            files hashed in place, the
//                                            top ones as they are staged)
// and prints the ratios to sha256sum, and the peak resident memory of a
// process that stages with the check (a fresh exec of this program,
// measured through wait4). Staged copies are deleted between runs.
//
//   verify_bench
//   verify_bench --stage-child DIR   (internal: the measured child)

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "arg_file.h"
#include "bench_util.h"
#include "arg_file_digest.h"
#include "minisign.h"
#include "package_check.h"
#include "package_manifest.h"
#include "package_tree.h"
#include "package_trust.h"
#include "px_tool.h"
#include "quillon.h"
#include "staging.h"

namespace {

const int kFiles = 8;
const size_t kFileSize = size_t{64} << 20;
// Where each file lies below files/: the first four are staged.
const char* const kFileNames[kFiles] = {"part0",     "part1",     "part2",
                                        "part3",     "a/part4",   "a/b/part5",
                                        "c/part6",   "c/d/e/part7"};

bool WriteText(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "we");
  if (!f) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  return fclose(f) == 0 && ok;
}

std::string Base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  return out.c_str();
}

// A fresh key pair: the secret key holds the seed and the public key.
bool MakeKeyPair(MinisignSecretKey* secret, MinisignPublicKey* key) {
  if (RAND_bytes(secret->key, 32) != 1 || RAND_bytes(key->keyId, 8) != 1) return false;
  EVP_PKEY* pkey = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, secret->key, 32);
  size_t size = 32;
  bool ok = pkey != nullptr && EVP_PKEY_get_raw_public_key(pkey, key->key, &size) == 1;
  EVP_PKEY_free(pkey);
  memcpy(secret->key + 32, key->key, 32);
  memcpy(secret->keyId, key->keyId, 8);
  return ok;
}

// The package in `dir`, made and signed.
bool MakePackage(const std::string& dir) {
  for (const char* d : {"/files", "/files/a", "/files/a/b", "/files/c", "/files/c/d",
                        "/files/c/d/e", "/pkg", "/keys"})
    if (mkdir((dir + d).c_str(), 0755) != 0) return false;
  for (int i = 0; i < kFiles; ++i) {
    std::string name = dir + "/files/" + kFileNames[i];
    if (!bench::WriteRandomFile(name, kFileSize, i + 1)) return false;
    if (i % 2 == 1 && i < 4) {  // scrambled: method 1 in place of the plain file
      PXTool tool;
      if (tool.GetPXFile2File(name.c_str(), (name + ".px").c_str(), PXTool::PXEncryptKey1) != 0 ||
          rename((name + ".px").c_str(), name.c_str()) != 0)
        return false;
    }
  }
  if (!WriteText(dir + "/pkg/px.arg", "[Runtime]\r\nFWPATH=files\r\n[Commands]\r\n[End]\r\n"))
    return false;
  MinisignSecretKey secret;
  MinisignPublicKey key;
  if (!MakeKeyPair(&secret, &key)) return false;
  if (!WriteText(dir + "/keys/bench.pub",
                 "untrusted comment: bench\n" +
                     Base64("Ed" + std::string(reinterpret_cast<char*>(key.keyId), 8) +
                            std::string(reinterpret_cast<char*>(key.key), 32)) + "\n"))
    return false;
  // The manifest as pxtool sign writes it.
  if (chdir(dir.c_str()) != 0) return false;
  std::string arg = "[Runtime]\r\nFWPATH=files\r\n[Commands]\r\n[End]\r\n";
  PackageSource source;
  source.argFile = "pkg/px.arg";
  PackageLayout layout;
  std::map<std::string, std::string> digests;
  std::string file, why;
  if (!ListPackage(arg.data(), arg.data() + arg.size(), false, &source, &why) ||
      !DescribePackage(source, &layout, &file, &why) ||
      !HashPackageFiles(layout, &digests, &file, &why) || layout.files.size() != static_cast<size_t>(kFiles))
    return false;
  PristineArgDigest argDigest;
  argDigest.Update(arg.data(), arg.size());
  std::string manifest = FormatManifest(layout, argDigest.FinalHex(), digests, {});
  return WriteText(dir + "/pkg/SHA256SUMS", manifest) &&
         WriteText(dir + "/pkg/SHA256SUMS.minisig", SignMinisign(secret, manifest, "bench"));
}

// Stages the package of `dir` (the current directory afterwards) into pkg/,
// with the check when `checked`, then deletes the copies. False on failure.
bool Stage(const std::string& dir, bool checked) {
  if (chdir(dir.c_str()) != 0) return false;
  int fd = open("pkg/px.arg", O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return false;
  size_t size = static_cast<size_t>(st.st_size);
  char* text = static_cast<char*>(mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0));
  close(fd);
  if (text == MAP_FAILED) return false;
  bool ok = ReadBasicParamsA(text, text + size, dir.c_str()) == 0;
  pArgFileName = "pkg/px.arg";
  PackageTrust trust(dir + "/keys");
  TakenLines record(dir + "/state");
  if (ok && checked)
    ok = trust.Load() && trust.Enforced() &&
         trust.CheckPackage("pkg/px.arg", text, size, pFwPath, cFileList, uFileCnt, true,
                            &record) &&
         trust.ChecksStaging();
  pExecPath = strdup("pkg");
  ok = ok && InitRunA("pkg", pFwPath, checked ? &trust : nullptr) == 0;
  munmap(text, size);
  if (chdir("pkg") != 0) return false;
  CompleteRun(false);
  return ok;
}

template <typename F>
double Fastest(F run) {
  double best = 0;
  for (int i = 0; i < 5; ++i) {
    auto start = std::chrono::steady_clock::now();
    if (!run()) return -1;
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (best == 0 || s < best) best = s;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--stage-child") == 0) return Stage(argv[2], true) ? 0 : 1;
  const char* base = getenv("BENCH_DIR");
  std::string tmpl = std::string(base ? base : "/tmp") + "/verify_bench.XXXXXX";
  if (mkdtemp(&tmpl[0]) == nullptr) return 1;
  const std::string dir = tmpl;
  printf("making a signed package of %d x 64 MiB in %s\n", kFiles, dir.c_str());
  if (!MakePackage(dir)) {
    fprintf(stderr, "verify_bench: cannot make the package in %s\n", dir.c_str());
    return 1;
  }
  std::vector<std::string> sum = {"sha256sum"};
  for (const char* name : kFileNames) sum.push_back(dir + "/files/" + name);
  double sha = Fastest([&] { return bench::RunChild(sum, nullptr, true) == 0; });
  double plain = Fastest([&] { return Stage(dir, false); });
  double checked = Fastest([&] { return Stage(dir, true); });
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  long kib = 0;
  int rc = n > 0 ? (self[n] = '\0', bench::RunChild({self, "--stage-child", dir}, &kib, false)) : -1;
  printf("sha256sum over 512 MiB          %7.3f s\n", sha);
  printf("staging alone                   %7.3f s\n", plain);
  printf("staging with the check          %7.3f s\n", checked);
  printf("ratio staging with check / sha256sum   %.3f (limit 1.10)\n", checked / sha);
  printf("ratio check's own cost / sha256sum     %.3f\n", (checked - plain) / sha);
  printf("peak RSS staging with the check  %6.1f MiB%s%s\n", kib / 1024.0,
         rc == 0 ? "" : " (FAILED)", kib > 16 * 1024 ? " (above the 16 MiB limit)" : "");
  std::string cleanup = "rm -rf '" + dir + "'";
  if (system(cleanup.c_str()) != 0) return 1;
  return sha > 0 && plain > 0 && checked > 0 && rc == 0 ? 0 : 1;
}
