// Signed packages end to end: pxtool manifest/sign/verify and the trust
// policy of the test build of Quillon (trusted keys from
// QUILLON_TRUSTED_KEYS_DIR, records of taken lines in QUILLON_STATE_DIR),
// also against the stock minisign tool.

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "another_user.h"
#include "minisign.h"
#include "test_util.h"

namespace quillon_test {
namespace {

const std::string kBin = QUILLON_BIN_DIR;
const std::string kQuillon = kBin + "/Quillon_fakereboot";
const std::string kPxtool = kBin + "/pxtool_testbuild";  // reset: the test run locks
const std::string kHandlerError = "Status=5\nRetval=570621955";

std::string Base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  return out.c_str();
}

// Writes <stem>.pub and <stem>.key in minisign's formats; with a password
// the secret key is encrypted (with small scrypt limits, to stay fast). The
// checksum is left zero (it is not checked here; stock minisign would refuse
// the secret key, so the interop test has minisign make its own).
void MakeKey(const std::string& stem, const std::string& password = "") {
  unsigned char seed[32], pk[32], id[8];
  ASSERT_EQ(1, RAND_bytes(seed, sizeof(seed)));
  ASSERT_EQ(1, RAND_bytes(id, sizeof(id)));
  EVP_PKEY* pkey = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, 32);
  size_t pkSize = sizeof(pk);
  ASSERT_EQ(1, EVP_PKEY_get_raw_public_key(pkey, pk, &pkSize));
  EVP_PKEY_free(pkey);
  std::string ids(reinterpret_cast<char*>(id), 8);
  WriteFile(stem + ".pub", "untrusted comment: test key\n" +
                               Base64("Ed" + ids + std::string(reinterpret_cast<char*>(pk), 32)) +
                               "\n");
  ASSERT_EQ(0, chmod((stem + ".pub").c_str(), 0644));
  std::string part = ids + std::string(reinterpret_cast<char*>(seed), 32) +
                     std::string(reinterpret_cast<char*>(pk), 32);
  part += std::string(32, '\0');
  std::string salt(32, '\0'), ops(8, '\0'), mem(8, '\0'), kdf(2, '\0');
  if (!password.empty()) {
    kdf = "Sc";
    ASSERT_EQ(1, RAND_bytes(reinterpret_cast<unsigned char*>(&salt[0]), 32));
    const unsigned long long opslimit = 32768, memlimit = 16 << 20;
    for (int i = 0; i < 8; ++i) {
      ops[i] = static_cast<char>(opslimit >> (8 * i));
      mem[i] = static_cast<char>(memlimit >> (8 * i));
    }
    // What minisign derives from these limits: N = 1024, r = 8, p = 1.
    unsigned char stream[104];
    ASSERT_EQ(1, EVP_PBE_scrypt(password.data(), password.size(),
                                reinterpret_cast<const unsigned char*>(salt.data()), 32, 1024, 8,
                                1, 0, stream, sizeof(stream)));
    for (size_t i = 0; i < part.size(); ++i) part[i] = static_cast<char>(part[i] ^ stream[i]);
  }
  WriteFile(stem + ".key", "untrusted comment: test secret key\n" +
                               Base64("Ed" + kdf + "B2" + salt + ops + mem + part) + "\n");
}

bool HaveMinisign() { return system("command -v minisign >/dev/null 2>&1") == 0; }

// A package in t/: the working directory t, px.arg in t/pkg with a script
// beside it, the package files in t/files (one of them scrambled) and a
// helper below them that is not staged. The commands write their results
// into t, outside the package; the first leaves ran.txt, so a refused run
// is seen to have run nothing.
class SignedPackageTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"/t", "/t/files", "/t/files/lib", "/t/pkg", "/keys", "/other"})
      ASSERT_EQ(0, mkdir((root_ + d).c_str(), 0755));
    MakeKey(root_ + "/keys/trusted");
    MakeKey(root_ + "/other/untrusted");
    WriteFile(t_ + "/files/check.sh", kCheck);
    WriteFile(t_ + "/files/lib/helper.sh", kHelper);
    WriteFile(t_ + "/pkg/local.sh", kLocal);
    std::string data = "staged data\n";
    for (char& c : data) c = static_cast<char>(((c << 4) | ((c >> 4) & 0x0F)) & 0xFF);
    WriteFile(t_ + "/files/data.txt", data + "#PELK_ROW#");
    WriteFile(arg_, ArgText({"[Runtime]", "FWPATH=files", "[Commands]", "0 000 echo ran > ../ran.txt",
                             "0 000 flag abort_ne 0", "0 000 sh check.sh", "0 000 sh local.sh",
                             "0 000 cat data.txt > ../out.txt", "[End]"}));
  }
  const std::string kCheck = "sh ../files/lib/helper.sh\n";
  const std::string kHelper = "echo checked > ../checked.txt\n";
  const std::string kLocal = "echo local > ../local.txt\n";
  // Each test's runs keep their records of taken lines apart.
  ProgramResult Pxtool(const std::vector<std::string>& args) {
    ProgramOptions options;
    options.cwd = root_;
    options.env = {"QUILLON_STATE_DIR=" + state_};
    return RunProgram(kPxtool, args, options);
  }
  ProgramResult Sign(const std::string& key = "keys/trusted.key") {
    return Pxtool({"sign", "--key", key, "t", "pkg/px.arg"});
  }
  ProgramResult Verify() { return Pxtool({"verify", "--key", "keys/trusted.pub", "t", "pkg/px.arg"}); }
  ProgramResult Quillon(const std::vector<std::string>& args = {"pkg/px.arg"},
                        const std::string& keys = "/keys") {
    ProgramOptions options;
    options.cwd = root_;
    options.env = {"QUILLON_TRUSTED_KEYS_DIR=" + root_ + keys, "QUILLON_STATE_DIR=" + state_};
    std::vector<std::string> argv{t_};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(kQuillon, argv, options);
  }
  std::string Log() { return ReadFile(t_ + "/Quillon.log"); }
  // Signs the manifest as it stands, as any minisign signer would.
  void SignAsIs() {
    MinisignSecretKey key;
    std::string why;
    ASSERT_TRUE(ParseMinisignSecretKey(ReadFile(root_ + "/keys/trusted.key"), "", &key, &why));
    WriteFile(t_ + "/pkg/SHA256SUMS.minisig",
              SignMinisign(key, ReadFile(t_ + "/pkg/SHA256SUMS"), "timestamp:0"));
  }

  ScopedTempDir tmp_;
  const std::string root_ = tmp_.path(), t_ = root_ + "/t", arg_ = t_ + "/pkg/px.arg",
                    state_ = root_ + "/state";
};

// The control: a signed package with nested folders and a script beside
// its argument file runs; killed part-way, it resumes and finishes though
// the run left its own files beside the argument file (its staged copies
// among them).
TEST_F(SignedPackageTest, SignedPackageRunsAndResumesAfterAKill) {
  // The run kills itself after its first command: the line is marked.
  std::string text = ReadFile(arg_);
  text.replace(text.find("0 000 flag"), 0, "0 000 kill -9 $PPID\r\n");
  WriteFile(arg_, text);
  ASSERT_EQ(0, Sign().exit_status) << Sign().err;
  EXPECT_EQ(0, system(("cd " + t_ + "/pkg && sha256sum --quiet -c SHA256SUMS").c_str()));
  EXPECT_EQ(137, Quillon().exit_status);
  EXPECT_EQ("ran\n", ReadFile(t_ + "/ran.txt"));
  EXPECT_NE(std::string::npos, ReadFile(arg_).find("1 000 kill"));
  ASSERT_TRUE(Exists(t_ + "/pkg/check.sh"));  // staged, kept
  for (const char* own : {"Quillon.log", "HandlerStatus.txt.new", "Quillon.pgrp", "Quillon.out",
                          "Quillon.out.1", "px.arg.bak"})
    WriteFile(t_ + "/pkg/" + own, "written by a run");

  ProgramResult v = Verify();
  EXPECT_EQ(0, v.exit_status) << v.err;
  EXPECT_EQ(0u, v.out.find("pkg/px.arg: signature good, ")) << v.out;
  ProgramResult r = Quillon();
  EXPECT_EQ(0, r.exit_status) << Log();
  EXPECT_EQ("staged data\n", ReadFile(t_ + "/out.txt"));
  EXPECT_EQ("checked\n", ReadFile(t_ + "/checked.txt"));
  EXPECT_EQ("local\n", ReadFile(t_ + "/local.txt"));
  EXPECT_EQ("Status=5\nRetval=0", ReadFile(t_ + "/pkg/HandlerStatus.txt"));
  EXPECT_EQ(std::string::npos, Log().find("signature"));
}

TEST_F(SignedPackageTest, NoKeysMeansNoCheck) {
  // An empty trust directory, or none: an unsigned package runs as ever.
  ASSERT_EQ(0, mkdir((root_ + "/empty").c_str(), 0755));
  const std::string pristine = ReadFile(arg_);
  std::vector<std::string> seen;
  for (const char* keys : {"/empty", "/absent"}) {
    WriteFile(arg_, pristine);
    unlink((t_ + "/Quillon.log").c_str());
    EXPECT_EQ(0, Quillon({"pkg/px.arg"}, keys).exit_status);
    seen.push_back(NormalizeLog(Log()) + ReadFile(arg_) + ReadFile(t_ + "/pkg/HandlerStatus.txt"));
  }
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(std::string::npos, seen[0].find("signature"));
  EXPECT_NE(std::string::npos, seen[0].find("exec command <cat data.txt > ../out.txt>"));
  // A key file that does not parse fails closed, naming it.
  WriteFile(root_ + "/keys/broken.pub", "untrusted comment: x\nnot base64\n");
  EXPECT_EQ(3, Quillon().exit_status);
  EXPECT_NE(std::string::npos,
            Log().find("ERROR : package signature check: " + root_ +
                       "/keys/broken.pub: trusted key unusable: key line is not base64"));
}

// With trust enforced, nothing the run uses may be changeable by another
// user: such a package is refused before anything is verified or staged.
TEST_F(SignedPackageTest, WhatOthersCouldChangeIsRefused) {
  ASSERT_EQ(0, Sign().exit_status);
  struct Case {
    std::string path;
    mode_t mode;
    uid_t owner;
    std::string message;
  };
  const std::vector<Case> cases = {
      {t_ + "/files", 0777, 0, t_ + "/files: owned by user 0 with mode 0777 - must not be writable"},
      {t_ + "/files/check.sh", 0644, 65534, t_ + "/files/check.sh: owned by user 65534"},
      {t_ + "/pkg", 0775, 0, t_ + "/pkg: owned by user 0 with mode 0775"},
      {t_, 0757, 0, t_ + ": owned by user 0 with mode 0757 - must not be writable"},
      {root_, 0777, 0, root_ + ": owned by user 0 with mode 0777 - others may write to it"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    struct stat before;
    ASSERT_EQ(0, stat(c.path.c_str(), &before));
    ASSERT_EQ(0, chmod(c.path.c_str(), c.mode));
    ASSERT_EQ(0, chown(c.path.c_str(), c.owner, c.owner));
    EXPECT_EQ(3, Quillon().exit_status);
    EXPECT_NE(std::string::npos, Log().find("ERROR : package signature check: " + c.message)) << Log();
    EXPECT_FALSE(Exists(t_ + "/ran.txt"));
    EXPECT_FALSE(Exists(t_ + "/pkg/check.sh"));  // nothing staged
    ASSERT_EQ(0, chmod(c.path.c_str(), before.st_mode & 07777));
    ASSERT_EQ(0, chown(c.path.c_str(), 0, 0));
  }
  EXPECT_EQ(0, Quillon().exit_status) << Log();  // as it was: runs
}

// A store of trusted keys that anyone but root can change trusts no one:
// while it holds a key file, every run is refused, naming the path. The
// other user here signs the package with a key of her own and puts that
// key into the store in each way the store's owner and modes allow.
TEST_F(SignedPackageTest, KeyStoreOthersCanChangeRefusesEveryRun) {
  ASSERT_EQ(0, chmod(root_.c_str(), 0755));
  ASSERT_EQ(0, Sign("other/untrusted.key").exit_status);
  const std::string keys = root_ + "/keys", theirs = ReadFile(root_ + "/other/untrusted.pub");
  auto plant = [&](const std::string& name) {
    return AsAnotherUser([&] {
      FILE* f = fopen((keys + "/" + name).c_str(), "w");
      return f != nullptr && fputs(theirs.c_str(), f) >= 0 && fclose(f) == 0 ? 0 : 1;
    });
  };
  struct Case {
    const char* what;
    std::function<void()> open;
    std::string message;  // "<path>: trusted key unusable: <reason>"
  };
  const std::vector<Case> cases = {
      {"store of mode 0777",
       [&] {
         ASSERT_EQ(0, chmod(keys.c_str(), 0777));
         ASSERT_EQ(0, plant("theirs.pub"));
       },
       keys + ": trusted key unusable: the directory is owned by user 0 with mode 0777 - must not be "
           "writable by group or others (chmod go-w)"},
      {"store of another user",
       [&] {
         ASSERT_EQ(0, chown(keys.c_str(), kAnotherUser, 0));
         ASSERT_EQ(0, plant("theirs.pub"));
       },
       keys + ": trusted key unusable: the directory is owned by user 65534 with mode 0755 - must "
           "belong to root (chown root)"},
      {"key of mode 0666",
       [&] {
         ASSERT_EQ(0, chmod((keys + "/trusted.pub").c_str(), 0666));
         ASSERT_EQ(0, plant("trusted.pub"));
       },
       keys + "/trusted.pub: trusted key unusable: owned by user 0 with mode 0666 - must not be "
           "writable by group or others (chmod go-w)"},
      {"link to a key in a user's directory",
       [&] { ASSERT_EQ(0, symlink((root_ + "/other/untrusted.pub").c_str(), (keys + "/theirs.pub").c_str())); },
       keys + "/theirs.pub: trusted key unusable: is a symbolic link"},
  };
  const std::string trusted = ReadFile(keys + "/trusted.pub");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(keys);
    ASSERT_EQ(0, mkdir(keys.c_str(), 0755));
    WriteFile(keys + "/trusted.pub", trusted);
    ASSERT_EQ(0, chmod((keys + "/trusted.pub").c_str(), 0644));
    unlink((t_ + "/Quillon.log").c_str());
    c.open();
    EXPECT_EQ(3, Quillon().exit_status);
    EXPECT_EQ(kHandlerError, ReadFile(t_ + "/HandlerStatus.txt"));
    EXPECT_NE(std::string::npos, Log().find("ERROR : package signature check: " + c.message + "\n"))
        << Log();
    EXPECT_FALSE(Exists(t_ + "/ran.txt"));
  }
  // The positive control: a store of root's alone with the signer's key.
  std::filesystem::remove_all(keys);
  ASSERT_EQ(0, mkdir(keys.c_str(), 0755));
  WriteFile(keys + "/theirs.pub", theirs);
  ASSERT_EQ(0, chmod((keys + "/theirs.pub").c_str(), 0644));
  EXPECT_EQ(0, Quillon().exit_status) << Log();
  EXPECT_EQ("ran\n", ReadFile(t_ + "/ran.txt"));
}

TEST_F(SignedPackageTest, KeyStoreWithoutKeysIsNoPolicyWhateverItsMode) {
  ASSERT_EQ(0, mkdir((root_ + "/open").c_str(), 0777));
  ASSERT_EQ(0, chmod((root_ + "/open").c_str(), 0777));
  WriteFile(root_ + "/open/README", "no keys here\n");
  EXPECT_EQ(0, Quillon({"pkg/px.arg"}, "/open").exit_status) << Log();
  EXPECT_EQ(std::string::npos, Log().find("signature"));
}

// pxtool reset keeps the previous argument file beside it; a signed
// package whose package directory is the argument file's own still runs.
// It restores the marks as shipped (a line shipped taken stays so) and
// clears the record of taken lines: a mark set after it is nobody's run's.
TEST_F(SignedPackageTest, ResetKeepsASignedPackageRunnable) {
  WriteFile(t_ + "/px.arg", ArgText({"[Runtime]", "FWPATH=.", "[Commands]", "1 000 echo old > ../old.txt",
                                     "0 000 echo ran >> ../ran.txt", "[End]"}));
  ASSERT_EQ(0, Pxtool({"sign", "--key", "keys/trusted.key", "t"}).exit_status);
  ASSERT_EQ(0, Quillon({}).exit_status) << Log();
  ProgramResult reset = Pxtool({"reset", "t"});
  ASSERT_EQ(0, reset.exit_status) << reset.err;
  ASSERT_TRUE(Exists(t_ + "/px.arg.bak"));
  EXPECT_EQ(0, Quillon({}).exit_status) << Log();
  EXPECT_EQ("ran\nran\n", ReadFile(root_ + "/ran.txt"));
  EXPECT_FALSE(Exists(root_ + "/old.txt"));
  ProgramResult v = Pxtool({"verify", "--key", "keys/trusted.pub", "t"});
  EXPECT_EQ(0, v.exit_status) << v.err;

  ASSERT_EQ(0, Pxtool({"reset", "t"}).exit_status);
  std::string text = ReadFile(t_ + "/px.arg");
  ASSERT_NE(std::string::npos, text.find("1 000 echo old\x20"));
  WriteFile(t_ + "/px.arg", text.replace(text.find("0 000 echo ran"), 1, "1"));
  EXPECT_EQ(3, Quillon({}).exit_status);
  EXPECT_NE(std::string::npos, Log().find("ERROR : package signature check: px.arg: line 5: marked "
                                          "taken, but shipped pending and taken by no recorded run\n"));
}

// The marks are signed: the lines shipped taken are in the manifest (in a
// line sha256sum passes over), and a run takes a line marked otherwise only
// when a run of its own took it. Re-arming a line shipped taken, or
// marking the flags line before a failing check, is refused, naming the
// line, before anything runs.
TEST_F(SignedPackageTest, MarksChangedInTransitAreRefused) {
  const std::string shipped =
      ArgText({"[Runtime]", "FWPATH=files", "[Commands]", "1 000 echo old > ../old.txt",
               "0 000 echo ran > ../ran.txt", "0 000 flag abort_ne 0", "0 000 false",
               "0 000 echo installed > ../installed.txt", "[End]"});
  WriteFile(arg_, shipped);
  ASSERT_EQ(0, Sign().exit_status);
  EXPECT_EQ(0u, ReadFile(t_ + "/pkg/SHA256SUMS").find("# marks shipped taken: 4\n"));
  // sha256sum checks every other line (a shipped mark is not pristine).
  EXPECT_EQ(256, system(("cd " + t_ + "/pkg && sha256sum --strict -c SHA256SUMS 2>&1 | grep -v "
                         "-e ': OK$' -e '^px.arg: FAILED$' -e 'WARNING: 1 computed checksum'").c_str()));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"1 000 echo old", "line 4: shipped marked taken, but not marked so now"},
      {"0 000 flag", "line 6: marked taken, but shipped pending and taken by no recorded run"}};
  for (const auto& [line, message] : cases) {
    SCOPED_TRACE(line);
    std::string text = shipped;
    WriteFile(arg_, text.replace(text.find(line), 1, line[0] == '0' ? "1" : "0"));
    EXPECT_EQ(3, Quillon().exit_status);
    EXPECT_NE(std::string::npos, Log().find("ERROR : package signature check: pkg/px.arg: " + message + "\n"))
        << Log();
    ProgramResult v = Verify();
    EXPECT_EQ(1, v.exit_status);
    EXPECT_EQ("pxtool: px.arg: " + message + "\n", v.err);
    for (const char* result : {"old.txt", "ran.txt", "installed.txt"}) EXPECT_FALSE(Exists(t_ + "/" + result));
  }
  // As shipped: the check aborts, the old step stays passed over.
  WriteFile(arg_, shipped);
  unlink((t_ + "/Quillon.log").c_str());
  EXPECT_EQ(2, Quillon().exit_status) << Log();
  EXPECT_EQ("ran\n", ReadFile(t_ + "/ran.txt"));
  EXPECT_FALSE(Exists(t_ + "/old.txt") || Exists(t_ + "/installed.txt"));
  EXPECT_EQ(std::string::npos, Log().find("signature"));
}

// verify, manifest and sign open the argument file as a run does: a FIFO is
// refused at once instead of waiting for a writer for ever.
TEST_F(SignedPackageTest, SigningToolsRefuseAFifoArgumentFileAtOnce) {
  ASSERT_EQ(0, Sign().exit_status);
  ASSERT_EQ(0, unlink(arg_.c_str()));
  ASSERT_EQ(0, mkfifo(arg_.c_str(), 0600));
  ProgramOptions options;
  options.cwd = root_;
  options.deadline = 5;
  for (std::vector<std::string> args :
       {std::vector<std::string>{"verify", "--key", "keys/trusted.pub"},
        std::vector<std::string>{"manifest"}, std::vector<std::string>{"sign", "--key", "keys/trusted.key"}}) {
    SCOPED_TRACE(args[0]);
    args.insert(args.end(), {"t", "pkg/px.arg"});
    ProgramResult r = RunProgram(kPxtool, args, options);
    EXPECT_EQ(1, r.exit_status);
    EXPECT_EQ("pxtool: pkg/px.arg: not a regular file\n", r.err);
  }
}

// A line rewritten in place while an earlier command runs (the file keeps
// its size and inode) is not run: the run holds each line against the copy
// it verified and stops before the changed one, which stays pending.
TEST_F(SignedPackageTest, LineRewrittenAfterVerificationIsNotRun) {
  std::string text = ReadFile(arg_);
  const std::string rewrite =
      "0 000 off=$(grep -b -o 'sh chec''k.sh' px.arg | cut -d: -f1); "
      "printf 'id>PWNED;: ' | dd of=px.arg bs=1 seek=$off conv=notrunc 2>/dev/null\r\n";
  text.replace(text.find("0 000 flag"), 0, rewrite);
  WriteFile(arg_, text);
  ASSERT_EQ(0, Sign().exit_status);
  EXPECT_EQ(3, Quillon().exit_status);
  EXPECT_FALSE(Exists(t_ + "/pkg/PWNED"));
  EXPECT_NE(std::string::npos, ReadFile(arg_).find("\n0 000 id>PWNED;: \r\n"));
  EXPECT_NE(std::string::npos, Log().find("ERROR : package signature check: pkg/px.arg: line 7 "
                                          "differs from the signed argument file - run stopped "
                                          "before it, the line stays pending"))
      << Log();
}

// Every tampering is refused before any command runs, by Quillon (staging
// and local mode) and by pxtool verify, naming the file and the reason; a
// file put into the package after signing is found by pxtool check too.
TEST_F(SignedPackageTest, TamperingsAreRefusedBeforeAnyCommand) {
  struct Case {
    const char* what;
    std::function<void()> tamper;
    std::string message;  // "<file>: <reason>" as logged
    bool added = false;   // a file outside the manifest: pxtool check names it
  };
  auto edit = [](const std::string& path, const std::string& from, const std::string& to) {
    std::string text = ReadFile(path);
    size_t at = text.find(from);
    ASSERT_NE(std::string::npos, at) << from;
    WriteFile(path, text.replace(at, from.size(), to));
  };
  const std::vector<Case> cases = {
      {"command", [&] { edit(arg_, "echo ran", "echo rAn"); },
       "pkg/px.arg: differs from SHA256SUMS"},
      {"flag", [&] { edit(arg_, "abort_ne 0", "abort_ne 1"); },
       "pkg/px.arg: differs from SHA256SUMS"},
      {"package file", [&] { edit(t_ + "/files/check.sh", "helper", "helpex"); },
       "../files/check.sh: differs from SHA256SUMS (staged copy removed)"},
      {"manifest", [&] { edit(t_ + "/pkg/SHA256SUMS", "  px.arg", "  px.arG"); },
       "pkg/SHA256SUMS.minisig: signature does not match"},
      {"file added", [&] { WriteFile(t_ + "/files/extra.sh", "x"); },
       "../files/extra.sh: in the package but not in SHA256SUMS"},
      {"file removed", [&] { unlink((t_ + "/files/check.sh").c_str()); },
       "../files/check.sh: listed in SHA256SUMS but missing from the package"},
      {"untrusted key", [&] { ASSERT_EQ(0, Sign("other/untrusted.key").exit_status); },
       "pkg/SHA256SUMS.minisig: signed by key "},
      {"truncated signature",
       [&] {
         std::string sig = ReadFile(t_ + "/pkg/SHA256SUMS.minisig");
         WriteFile(t_ + "/pkg/SHA256SUMS.minisig", sig.substr(0, sig.size() - 20));
       },
       "pkg/SHA256SUMS.minisig: global signature line is not base64 of 64 bytes"},
      {"signature missing", [&] { unlink((t_ + "/pkg/SHA256SUMS.minisig").c_str()); },
       "pkg/SHA256SUMS.minisig: missing"},
      {"odd name",
       [&] {
         edit(t_ + "/pkg/SHA256SUMS", "  ../files/check.sh", "  ../files//check.sh");
         SignAsIs();
       },
       "../files//check.sh: odd name in SHA256SUMS"},
      {"file below the package directory",
       [&] { edit(t_ + "/files/lib/helper.sh", "checked", "chucked"); },
       "../files/lib/helper.sh: differs from SHA256SUMS"},
      {"script beside the argument file", [&] { edit(t_ + "/pkg/local.sh", "local", "lokal"); },
       "local.sh: differs from SHA256SUMS"},
      {"file added below", [&] { WriteFile(t_ + "/files/lib/extra.sh", "x"); },
       "../files/lib/extra.sh: in the package but not in SHA256SUMS", true},
      {"file added beside",
       [&] {
         ASSERT_EQ(0, mkdir((t_ + "/pkg/sub").c_str(), 0755));
         WriteFile(t_ + "/pkg/sub/extra.sh", "x");
       },
       "sub/extra.sh: in the package but not in SHA256SUMS", true},
      {"link added", [&] { ASSERT_EQ(0, symlink("helper.sh", (t_ + "/files/lib/extra.sh").c_str())); },
       "../files/lib/extra.sh: a symbolic link, which a signed package may not hold", true},
  };
  const std::string pristine = ReadFile(arg_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(arg_, pristine);
    WriteFile(t_ + "/files/check.sh", kCheck);
    WriteFile(t_ + "/files/lib/helper.sh", kHelper);
    WriteFile(t_ + "/pkg/local.sh", kLocal);
    std::filesystem::remove_all(t_ + "/pkg/sub");
    unlink((t_ + "/files/lib/extra.sh").c_str());
    unlink((t_ + "/Quillon.log").c_str());
    ASSERT_EQ(0, Sign().exit_status);
    c.tamper();
    ProgramResult r = Quillon();
    EXPECT_EQ(3, r.exit_status);
    EXPECT_EQ(kHandlerError, ReadFile(t_ + "/HandlerStatus.txt"));
    EXPECT_NE(std::string::npos, Log().find("ERROR : package signature check: " + c.message))
        << Log();
    EXPECT_FALSE(Exists(t_ + "/ran.txt") || Exists(t_ + "/pkg/check.sh") ||
                 Exists(t_ + "/pkg/data.txt"));
    ProgramResult v = Verify();
    EXPECT_EQ(1, v.exit_status);
    std::string file = c.message.substr(0, c.message.find(':'));
    EXPECT_NE(std::string::npos, v.err.find(file.substr(file.rfind('/') + 1))) << v.err;
    if (c.added) {
      ProgramResult check = Pxtool({"check", "t"});
      EXPECT_EQ(1, check.exit_status);
      EXPECT_NE(std::string::npos, check.out.find("\"" + file + "\"")) << check.out;
      EXPECT_NE(std::string::npos, check.out.find("[file-outside-manifest]")) << check.out;
    }
  }
  // A link is not signed either, wherever it points (the last case left one).
  ProgramResult r = Sign();
  EXPECT_EQ(1, r.exit_status);
  EXPECT_EQ("pxtool: ../files/lib/extra.sh: a symbolic link, which a signed package may not hold "
            "(put the file itself there)\n",
            r.err);
}

TEST_F(SignedPackageTest, LocalModeChecksInPlace) {
  // px.arg in the working directory, the package files beside it: the run's
  // own files there are not package files.
  const std::string local = ArgText({"[Runtime]", "FWPATH=.", "[Commands]",
                                     "0 000 echo ran > ../ran.txt", "0 000 sh check.sh", "[End]"});
  WriteFile(t_ + "/px.arg", local);
  WriteFile(t_ + "/check.sh", kHelper);
  ASSERT_EQ(0, Pxtool({"sign", "--key", "keys/trusted.key", "t"}).exit_status);
  std::string manifest = ReadFile(t_ + "/SHA256SUMS");
  for (const char* name : {"  check.sh\n", "  px.arg\n", "  files/lib/helper.sh\n", "  pkg/local.sh\n"})
    EXPECT_NE(std::string::npos, manifest.find(name)) << name;
  EXPECT_EQ(std::string::npos, manifest.find("Quillon.log"));
  ProgramResult r = Quillon({});
  EXPECT_EQ(0, r.exit_status) << Log();
  EXPECT_EQ("checked\n", ReadFile(root_ + "/checked.txt"));

  WriteFile(t_ + "/px.arg", local);
  unlink((root_ + "/ran.txt").c_str());
  ASSERT_EQ(0, Pxtool({"sign", "--key", "keys/trusted.key", "t"}).exit_status);
  WriteFile(t_ + "/check.sh", "rm -rf /\n");
  EXPECT_EQ(3, Quillon({}).exit_status);
  EXPECT_NE(std::string::npos,
            Log().find("ERROR : package signature check: check.sh: differs from SHA256SUMS\n"));
  EXPECT_FALSE(Exists(root_ + "/ran.txt"));

  // Without FWPATH the working directory's files are the package still.
  WriteFile(t_ + "/px.arg", ArgText({"[Runtime]", "[Commands]", "0 000 echo ran > ../ran.txt",
                                     "0 000 sh files/lib/helper.sh", "[End]"}));
  WriteFile(t_ + "/check.sh", kHelper);
  ASSERT_EQ(0, Pxtool({"sign", "--key", "keys/trusted.key", "t"}).exit_status);
  WriteFile(t_ + "/files/lib/helper.sh", "echo changed > ../checked.txt\n");
  EXPECT_EQ(3, Quillon({}).exit_status);
  EXPECT_NE(std::string::npos, Log().find("ERROR : package signature check: "
                                          "files/lib/helper.sh: differs from SHA256SUMS\n"));
  EXPECT_FALSE(Exists(root_ + "/ran.txt"));
}

// pxtool sign on a pseudo-terminal whose other end the test holds: its
// controlling terminal and its standard input, output and error. With
// `asJob`, started as a shell with job control starts it: in a foreground
// process group of its own whose parent waits for it, so that Ctrl-Z stops
// it (the parent ends with its exit status).
struct TerminalSign {
  TerminalSign(const std::string& pxtool, const std::string& cwd, bool asJob = false) {
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
    if ((pid = fork()) == 0) {
      unsetenv("PXTOOL_KEY_PASSWORD");
      if (login_tty(slave) != 0 || chdir(cwd.c_str()) != 0) _exit(127);
      if (asJob) signal(SIGTTOU, SIG_IGN);
      pid_t job = asJob ? fork() : 0;
      if (job == 0) {
        if (asJob) setpgid(0, 0), tcsetpgrp(0, getpid()), signal(SIGTTOU, SIG_DFL);
        execl(pxtool.c_str(), "pxtool", "sign", "--key", "keys/locked.key", "t", "pkg/px.arg",
              static_cast<char*>(nullptr));
        _exit(127);
      }
      setpgid(job, job);
      tcsetpgrp(0, job);
      int ended = 0;
      while (waitpid(job, &ended, WUNTRACED) == job && WIFSTOPPED(ended)) {
      }
      _exit(WIFEXITED(ended) ? WEXITSTATUS(ended) : 126);
    }
  }
  ~TerminalSign() { close(master), close(slave); }
  // Reads the terminal until `text` has come or pxtool has ended and said
  // all; `status` is then its wait status. At most two minutes: opening an
  // encrypted key is made slow on purpose, and slower on a loaded machine
  // or under the sanitizers.
  bool ReadUntil(const std::string& text) {
    for (int i = 0; i < 1200 && seen.find(text) == std::string::npos; ++i) {
      struct pollfd p = {master, POLLIN, 0};
      char buffer[256];
      ssize_t n = poll(&p, 1, 100) == 1 ? read(master, buffer, sizeof(buffer)) : 0;
      if (n > 0) seen.append(buffer, static_cast<size_t>(n));
      else if (status >= 0 || waitpid(pid, &status, WNOHANG) == pid) break;
    }
    return seen.find(text) != std::string::npos;
  }
  bool Echoes() {
    struct termios t;
    return tcgetattr(slave, &t) == 0 && (t.c_lflag & ECHO) != 0;
  }
  int master = -1, slave = -1, status = -1;
  pid_t pid = -1;
  std::string seen;
};

// An encrypted key's password is asked for on the terminal, without echo,
// and the terminal is left as it was, also when a signal ends pxtool at the
// prompt. Without a terminal pxtool says where the password may come from.
TEST_F(SignedPackageTest, SignAsksForThePasswordOnTheTerminal) {
  MakeKey(root_ + "/keys/locked", "secret words");
  TerminalSign typed(kPxtool, root_);
  ASSERT_TRUE(typed.Echoes());
  ASSERT_TRUE(typed.ReadUntil("Password: ")) << typed.seen;
  EXPECT_FALSE(typed.Echoes());
  ASSERT_EQ(13, write(typed.master, "secret words\n", 13));
  typed.ReadUntil("pxtool ended");
  EXPECT_TRUE(WIFEXITED(typed.status) && WEXITSTATUS(typed.status) == 0) << typed.seen;
  EXPECT_EQ(std::string::npos, typed.seen.find("secret")) << typed.seen;
  EXPECT_TRUE(typed.Echoes());
  ProgramResult v = Pxtool({"verify", "--key", "keys/locked.pub", "t", "pkg/px.arg"});
  EXPECT_EQ(0, v.exit_status) << v.err;

  TerminalSign killed(kPxtool, root_);
  ASSERT_TRUE(killed.ReadUntil("Password: ")) << killed.seen;
  kill(killed.pid, SIGTERM);
  killed.ReadUntil("pxtool ended");
  EXPECT_TRUE(WIFSIGNALED(killed.status) && WTERMSIG(killed.status) == SIGTERM);
  EXPECT_TRUE(killed.Echoes());

  // Ctrl-Z at the prompt stops pxtool with echo back on; when it goes on,
  // echo is off again and the prompt shown anew.
  TerminalSign stopped(kPxtool, root_, true);
  ASSERT_TRUE(stopped.ReadUntil("Password: ")) << stopped.seen;
  ASSERT_EQ(1, write(stopped.master, "\x1a", 1));
  for (int i = 0; i < 1200 && !stopped.Echoes(); ++i) usleep(100 * 1000);
  EXPECT_TRUE(stopped.Echoes());
  stopped.seen.clear();
  kill(-tcgetpgrp(stopped.master), SIGCONT);
  ASSERT_TRUE(stopped.ReadUntil("Password: ")) << stopped.seen;
  EXPECT_FALSE(stopped.Echoes());
  ASSERT_EQ(13, write(stopped.master, "secret words\n", 13));
  stopped.ReadUntil("pxtool ended");
  EXPECT_TRUE(WIFEXITED(stopped.status) && WEXITSTATUS(stopped.status) == 0) << stopped.seen;

  ProgramResult r = Sign("keys/locked.key");  // standard input /dev/null
  EXPECT_EQ(1, r.exit_status);
  EXPECT_EQ("pxtool: keys/locked.key: key is encrypted: give its password in "
            "PXTOOL_KEY_PASSWORD or --password-file\n", r.err);
}

// Stock minisign signs what Quillon and pxtool accept, and checks what
// pxtool signs (also with a password-protected key).
TEST_F(SignedPackageTest, StockMinisignInteroperates) {
  if (!HaveMinisign()) GTEST_SKIP() << "minisign is not installed (scripts/setup.sh installs it)";
  // A key pair of minisign's own making, read by pxtool as well.
  ASSERT_EQ(0, system(("minisign -G -W -f -p " + root_ + "/keys/trusted.pub -s " + root_ +
                       "/keys/trusted.key >/dev/null 2>&1").c_str()));
  ASSERT_EQ(0, Sign().exit_status) << Sign().err;
  EXPECT_EQ(0, system(("cd " + t_ + "/pkg && minisign -Vq -p " + root_ +
                       "/keys/trusted.pub -m SHA256SUMS").c_str()));
  ASSERT_EQ(0, Pxtool({"manifest", "t", "pkg/px.arg"}).exit_status);
  ASSERT_EQ(0, system(("cd " + t_ + "/pkg && minisign -S -s " + root_ +
                       "/keys/trusted.key -m SHA256SUMS >/dev/null 2>&1").c_str()));
  EXPECT_EQ(0, Verify().exit_status) << Verify().err;
  EXPECT_EQ(0, Quillon().exit_status) << Log();

  MakeKey(root_ + "/keys/locked", "secret words");
  WriteFile(root_ + "/pw", "secret words\n");
  EXPECT_EQ(1, Sign("keys/locked.key").exit_status);  // no password given
  ProgramResult r = Pxtool({"sign", "--key", "keys/locked.key", "--password-file", "pw", "t",
                            "pkg/px.arg"});
  ASSERT_EQ(0, r.exit_status) << r.err;
  EXPECT_EQ(0, system(("cd " + t_ + "/pkg && minisign -Vq -p " + root_ +
                       "/keys/locked.pub -m SHA256SUMS").c_str()));
  WriteFile(root_ + "/pw", "wrong words\n");
  r = Pxtool({"sign", "--key", "keys/locked.key", "--password-file", "pw", "t", "pkg/px.arg"});
  EXPECT_EQ(1, r.exit_status);
  EXPECT_EQ("pxtool: keys/locked.key: wrong password or damaged key\n", r.err);
}

}  // namespace
}  // namespace quillon_test
