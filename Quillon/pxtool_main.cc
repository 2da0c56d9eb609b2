// pxtool: the package author's tool for scrambled package files.
//
//   pxtool scramble --method 1|2 IN OUT
//   pxtool descramble IN OUT
//   pxtool info FILE...
//   pxtool trace [FILE]
//   pxtool manifest | sign | verify ...   (see pxtool_sign.h)
//
// Every subcommand is one entry of kCommands; main only picks the entry and
// returns its exit status. Messages go to standard error and name the file
// they concern; standard output carries only the help text and the lines of
// "info".

#include <errno.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cdebug.h"
#include "debug_ring_reader.h"
#include "px_tool.h"
#include "pxtool_sign.h"

// The run's reading of the argument file (used by "manifest", "sign" and
// "verify") reports through the trace object `Debug`. pxtool defines it
// here, never initialised and so never enabled, so that the program's own
// trace object (debug_global.cc), which opens and writes the trace files
// when it is built, is not linked in: pxtool leaves the trace untouched.
CDEBUG Debug;

namespace {

enum ExitStatus { kExitSuccess = 0, kExitFailure = 1, kExitUsage = 2 };

int RunScramble(int argc, char** argv);
int RunDescramble(int argc, char** argv);
int RunInfo(int argc, char** argv);
int RunTrace(int argc, char** argv);

struct Command {
  const char* name;
  const char* synopsis;
  const char* description;
  int (*run)(int argc, char** argv);  // the arguments after the name
};

const Command kCommands[] = {
    {"scramble", "scramble --method 1|2 IN OUT",
     "write IN scrambled with the method's permutation and trailer to OUT",
     RunScramble},
    {"descramble", "descramble IN OUT",
     "write the plain form of IN to OUT (a plain IN is copied unchanged)",
     RunDescramble},
    {"info", "info FILE...",
     "print the method each FILE's trailer names and its plain size",
     RunInfo},
    {"trace", "trace [FILE]",
     "print the trace ring-buffer FILE (default: Quillon's, found through the\n"
     "      trace configuration) as a log, oldest entry first",
     RunTrace},
    {"manifest", "manifest PACKAGE_DIR [ARGUMENT_FILE]",
     "write SHA256SUMS beside the argument file (default px.arg)", RunManifest},
    {"sign", "sign --key SECRET_KEY [--password-file FILE] PACKAGE_DIR [ARGUMENT_FILE]",
     "write SHA256SUMS and sign it with the minisign key (SHA256SUMS.minisig)",
     RunSign},
    {"verify", "verify --key PUBLIC_KEY... PACKAGE_DIR [ARGUMENT_FILE]",
     "check the signature, the argument file and every package file", RunVerify},
};

void PrintUsage(FILE* out) {
  fprintf(out, "Usage: pxtool COMMAND ARGUMENTS\n\nCommands:\n");
  for (const Command& c : kCommands)
    fprintf(out, "  pxtool %s\n      %s\n", c.synopsis, c.description);
  fprintf(out,
          "  pxtool --help\n      print this text\n\n"
          "OUT is written as a new file and appears only when complete; on\n"
          "failure no OUT is left behind.\n\n"
          "Exit status: 0 success, 1 failure (a message on standard error\n"
          "names the file), 2 usage error.\n");
}

int UsageError(const char* message, const char* detail) {
  fprintf(stderr, "pxtool: %s%s\nTry 'pxtool --help'.\n", message, detail);
  return kExitUsage;
}

const char* MethodName(PXTool::PXCryptMethod method) {
  switch (method) {
    case PXTool::PXDecrypt: return "0 (plain, no trailer)";
    case PXTool::PXEncryptKey1: return "1";
    case PXTool::PXEncryptKey2: return "2";
    case PXTool::PXEncryptKey3: return "3";
  }
  return "?";
}

// Reads the trailer and plain size of `path`. On failure says on standard
// error why the file cannot be examined (GetPXFileInfo's 5 carries the
// error of the open in errno, or none for a source that is not a regular
// file; other results are the error number of a failed fstat or read) and
// returns false.
bool ExamineSource(const char* path, PXTool::PXCryptMethod* found,
                   unsigned long long* size) {
  int rc = PXTool::GetPXFileInfo(path, *found, *size);
  if (rc == 0) return true;
  const char* problem = rc != 5 ? strerror(rc)
                        : errno   ? strerror(errno)
                                  : "not a regular file";
  fprintf(stderr, "pxtool: cannot read '%s': %s\n", path, problem);
  return false;
}

bool SameFile(const char* a, const char* b) {
  struct stat sa, sb;
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// Runs the codec and reports its failure. `verb` names the action in the
// message.
int Transform(const char* verb, const char* in, const char* out,
              PXTool::PXCryptMethod method) {
  PXTool tool;
  int rc = tool.GetPXFile2File(in, out, method);
  if (rc == 0) return kExitSuccess;
  // 5, -2 and 10 leave the cause in errno; any other code is an errno.
  const char* why = errno ? strerror(errno) : "refused by the codec";
  if (rc != 10 && rc != 5 && rc != -2) why = strerror(rc);
  fprintf(stderr, "pxtool: cannot %s '%s' to '%s': %s (code %d)\n", verb, in,
          out, why, rc);
  return kExitFailure;
}

int RunScramble(int argc, char** argv) {
  int method = 0;
  const char* files[2] = {nullptr, nullptr};
  int nfiles = 0;
  for (int i = 0; i < argc; ++i) {
    const char* value = nullptr;
    if (strcmp(argv[i], "--method") == 0) {
      if (++i == argc) return UsageError("--method needs a value", "");
      value = argv[i];
    } else if (strncmp(argv[i], "--method=", 9) == 0) {
      value = argv[i] + 9;
    } else if (nfiles < 2 && (argv[i][0] != '-' || argv[i][1] == '\0')) {
      files[nfiles++] = argv[i];
      continue;
    } else {
      return UsageError("scramble: unexpected argument ", argv[i]);
    }
    if (strcmp(value, "1") != 0 && strcmp(value, "2") != 0)
      return UsageError("--method must be 1 or 2, not ", value);
    method = value[0] - '0';
  }
  if (method == 0) return UsageError("scramble: --method 1|2 is required", "");
  if (nfiles != 2) return UsageError("scramble: needs IN and OUT", "");

  const char* in = files[0];
  const char* out = files[1];
  PXTool::PXCryptMethod found;
  unsigned long long size;
  if (!ExamineSource(in, &found, &size)) return kExitFailure;
  // The codec decodes any source that carries a trailer; scrambling it again
  // is not possible in this format.
  if (found != PXTool::PXDecrypt) {
    fprintf(stderr,
            "pxtool: '%s' already ends with the method-%d trailer; not "
            "scrambling it\n",
            in, static_cast<int>(found));
    return kExitFailure;
  }
  if (size == 0) {
    fprintf(stderr, "pxtool: '%s' is empty; an empty file cannot be scrambled\n",
            in);
    return kExitFailure;
  }
  if (SameFile(in, out)) {
    fprintf(stderr, "pxtool: '%s' and '%s' are the same file\n", in, out);
    return kExitFailure;
  }
  return Transform("scramble", in, out,
                   static_cast<PXTool::PXCryptMethod>(method));
}

int RunDescramble(int argc, char** argv) {
  if (argc != 2) return UsageError("descramble: needs IN and OUT", "");
  const char* in = argv[0];
  const char* out = argv[1];
  PXTool::PXCryptMethod found;
  unsigned long long size;
  if (!ExamineSource(in, &found, &size)) return kExitFailure;
  if (found == PXTool::PXEncryptKey3) {
    fprintf(stderr,
            "pxtool: '%s' carries the method-3 trailer, which is never "
            "descrambled\n",
            in);
    return kExitFailure;
  }
  if (found != PXTool::PXDecrypt && size == 0) {
    fprintf(stderr, "pxtool: '%s' is a bare trailer with nothing to descramble\n",
            in);
    return kExitFailure;
  }
  if (found != PXTool::PXDecrypt && SameFile(in, out)) {
    fprintf(stderr,
            "pxtool: '%s' and '%s' are the same file; descramble into "
            "another file\n",
            in, out);
    return kExitFailure;
  }
  if (found == PXTool::PXDecrypt)
    fprintf(stderr, "pxtool: note: '%s' has no trailer; copied unchanged\n", in);
  return Transform("descramble", in, out, PXTool::PXDecrypt);
}

int RunInfo(int argc, char** argv) {
  if (argc == 0) return UsageError("info: needs at least one FILE", "");
  int status = kExitSuccess;
  for (int i = 0; i < argc; ++i) {
    PXTool::PXCryptMethod found;
    unsigned long long size;
    if (!ExamineSource(argv[i], &found, &size)) {
      status = kExitFailure;
      continue;
    }
    const char* note = "";
    if (found == PXTool::PXEncryptKey3)
      note = " (cannot be descrambled: method 3 is refused)";
    else if (found != PXTool::PXDecrypt && size == 0)
      note = " (cannot be descrambled: bare trailer)";
    printf("%s: method %s, plain size %llu%s\n", argv[i], MethodName(found),
           size, note);
  }
  return status;
}

int RunTrace(int argc, char** argv) {
  if (argc > 1) return UsageError("trace: takes at most one FILE", "");
  std::string path;
  if (argc == 1) {
    path = argv[0];
  } else if (!GetTraceRingBufferPath("Quillon", &path)) {
    fprintf(stderr,
            "pxtool: the configured trace directory gives a ring-buffer path "
            "longer than 255 characters\n");
    return kExitFailure;
  }
  TraceRing ring;
  std::string error;
  if (!ReadTraceRing(path, &ring, &error)) {
    fprintf(stderr, "pxtool: cannot read the trace %s\n", error.c_str());
    return kExitFailure;
  }
  if (!WriteTraceRing(ring, stdout)) {
    perror("pxtool: standard output");
    return kExitFailure;
  }
  return kExitSuccess;
}

const Command* FindCommand(const char* name) {
  for (const Command& c : kCommands)
    if (strcmp(c.name, name) == 0) return &c;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 ||
      strcmp(argv[1], "help") == 0) {
    PrintUsage(stdout);
    return kExitSuccess;
  }
  const Command* command = FindCommand(argv[1]);
  if (!command) return UsageError("unknown command ", argv[1]);
  int status = command->run(argc - 2, argv + 2);
  if (fflush(stdout) != 0) {
    perror("pxtool: standard output");
    return kExitFailure;
  }
  return status;
}
