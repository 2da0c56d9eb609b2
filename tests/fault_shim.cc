// An LD_PRELOAD interposer for the fault sweep (fault_sweep_test.cc): it
// counts the file-system calls, or the memory allocations, a process makes
// through the C library, and can make one of them fail, kill the process at
// it or send the process a stop signal there. Test-only, never installed.
//
// Environment, read and removed at load (together with LD_PRELOAD, so that
// the shell and the commands the process starts run without the shim):
//   FAULT_SHIM_MODE  file-system calls: count | eio | enospc | kill | term;
//                    allocations: count-alloc | enomem
//                    (anything else: pass through)
//   FAULT_SHIM_AT    N, the call to act on (1 = the first counted call)
//   FAULT_SHIM_OUT   a file. count, count-alloc: written at normal exit,
//                    "calls C" and then one line "N call detail" per call.
//                    Other modes: the line of call N, written when it is
//                    reached.
//
// File-system calls counted: every call of the functions defined below made
// through the dynamic symbol table by the process that loaded the shim (its
// pid at load), after the shim's constructor ran. Calls the C library makes
// internally (stdio writing a stream's buffer, the loader, time-zone
// reading, the shell started by system()) do not pass through here; stdio
// is covered at fflush/fclose, which is where a run log line is written.
// Not counted either: close() of a descriptor that is not open (closing
// 0..255 would otherwise be 250 points of nothing), mmap() of anonymous
// memory, fflush(NULL).
//
// Allocations counted: malloc, calloc, realloc, posix_memalign,
// aligned_alloc, memalign and valloc, by the process that loaded the shim,
// from the moment its main function is entered (the shim wraps main through
// __libc_start_main) until it exits. Those of the loader, of the C library's
// start-up and of static initialisers are not counted: they happen before
// the program can do anything about a failure. The C library's calls of
// these functions from inside (strdup, fopen, getcwd(NULL), scandir, the
// C++ operator new) pass through here and are counted; detail is the
// nearest function on the stack with a dynamic symbol ("_Znwm" is the C++
// operator new, "scandir" the directory listing), or the program's name
// when the program itself asked (its functions have no dynamic symbol);
// a caller without a symbol inside a library puts that library first
// ("libc.so.6:Quillon").
//
// The fault at N: the call does nothing and returns its failure value (-1,
// NULL, MAP_FAILED, EOF) with errno EIO, ENOSPC or, for an allocation,
// ENOMEM. Two exceptions, chosen to match what the kernel and the C library
// do on a real failure: close() and fclose() still release the descriptor or
// stream, and fflush() and fclose() drop the buffered data (glibc drops the
// buffer when its write fails). kill: SIGKILL before the call does anything.
// term: SIGTERM to the process before the call, which then goes on as
// usual.

#undef _FORTIFY_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// kCount to kTerm act on file-system calls, the last two on allocations.
enum Mode { kPass, kCount, kFail, kKill, kTerm, kCountAlloc, kFailAlloc };

Mode g_mode = kPass;
long g_at = 0;
int g_errno = 0;
pid_t g_pid = -1;
long g_calls = 0;
bool g_busy = false;  // inside the shim's own bookkeeping
bool g_inMain = false;  // the program's main function has been entered
char g_out[4096];

// The call list of count mode, written at exit.
char* g_list = nullptr;
size_t g_listSize = 0, g_listUsed = 0;

// File mappings seen, so that msync can name its file.
struct Mapping {
  char* start;
  size_t length;
  char path[200];
};
Mapping g_maps[16];

bool CountsFileCalls() { return g_mode >= kCount && g_mode <= kTerm; }
bool CountsAllocations() { return g_mode == kCountAlloc || g_mode == kFailAlloc; }

// The next definition of `name`. What the lookup allocates is the shim's own.
template <typename F>
F Real(const char* name) {
  bool busy = g_busy;
  g_busy = true;
  F real = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
  g_busy = busy;
  return real;
}

// Raw system calls for the shim's own output: never counted, never faulted.
void RawWriteFile(const char* path, const char* text, size_t size, bool append) {
  int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path,
                                    O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC),
                                    0644));
  if (fd < 0) return;
  while (size > 0) {
    long n = syscall(SYS_write, fd, text, size);
    if (n <= 0) break;
    text += n;
    size -= static_cast<size_t>(n);
  }
  syscall(SYS_close, fd);
}

void FdPath(int fd, char* out, size_t size) {
  char link[64];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  long n = syscall(SYS_readlinkat, AT_FDCWD, link, out, size - 1);
  if (n < 0) snprintf(out, size, "fd%d", fd);
  else out[n] = '\0';
}

// "N call detail": the path, else the file behind the descriptor.
void Describe(long n, const char* call, const char* path, int fd, char* line, size_t size) {
  char file[256] = "";
  if (path != nullptr) snprintf(file, sizeof(file), "%s", path);
  else if (fd >= 0) FdPath(fd, file, sizeof(file));
  snprintf(line, size, "%ld %s %s\n", n, call, file);
}

void Append(const char* line) {
  size_t length = strlen(line);
  if (g_listUsed + length > g_listSize) {
    size_t size = (g_listSize + length) * 2 + 4096;
    char* grown = static_cast<char*>(realloc(g_list, size));
    if (grown == nullptr) return;
    g_list = grown;
    g_listSize = size;
  }
  memcpy(g_list + g_listUsed, line, length);
  g_listUsed += length;
}

// Keeps the line of a counted call: in the list of a counting mode, else in
// the output file at once (it is the call acted on).
void Note(const char* line) {
  if (g_mode == kCount || g_mode == kCountAlloc) Append(line);
  else RawWriteFile(g_out, line, strlen(line), false);
}

// Counts a file-system call; true when it is to fail (errno set). Kills at
// N in kill mode; sends SIGTERM at N in term mode.
bool Inject(const char* call, const char* path, int fd) {
  if (!CountsFileCalls() || g_busy || getpid() != g_pid) return false;
  long n = ++g_calls;
  if (g_mode != kCount && n != g_at) return false;
  g_busy = true;
  char line[512];
  Describe(n, call, path, fd, line, sizeof(line));
  Note(line);
  g_busy = false;
  if (g_mode == kCount) return false;
  if (g_mode == kKill) {
    kill(getpid(), SIGKILL);
    for (;;) pause();
  }
  if (g_mode == kTerm) {
    kill(getpid(), SIGTERM);
    return false;
  }
  errno = g_errno;
  return true;
}

int (*g_main)(int, char**, char**) = nullptr;  // the program's main

const char* BaseName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// Who asked for memory at `caller` (see the head of this file).
const char* Asker(const void* caller) {
  static char who[256];
  Dl_info program = {}, direct = {};
  dladdr(reinterpret_cast<void*>(g_main), &program);
  if (dladdr(caller, &direct) != 0 && direct.dli_sname != nullptr) return direct.dli_sname;
  const char* named = "?";
  void* frames[16];
  int count = backtrace(frames, 16);
  int first = 0;
  while (first < count && frames[first] != caller) ++first;
  for (int i = first < count ? first : 0; i < count; ++i) {
    Dl_info info = {};
    if (dladdr(frames[i], &info) == 0) continue;
    if (info.dli_sname != nullptr) {
      named = info.dli_sname;
      break;
    }
    if (info.dli_fbase == program.dli_fbase && info.dli_fname != nullptr) {
      named = BaseName(info.dli_fname);
      break;
    }
  }
  if (direct.dli_fname == nullptr || direct.dli_fbase == program.dli_fbase) return named;
  snprintf(who, sizeof(who), "%s:%s", BaseName(direct.dli_fname), named);
  return who;
}

// Counts an allocation asked for from `caller`; true when it is to fail
// (errno ENOMEM).
bool FailAllocation(const char* call, const void* caller) {
  if (!CountsAllocations() || !g_inMain || g_busy || getpid() != g_pid) return false;
  long n = ++g_calls;
  if (g_mode == kCountAlloc || n == g_at) {
    g_busy = true;
    const char* who = Asker(caller);
    char line[512];
    snprintf(line, sizeof(line), "%ld %s %s\n", n, call, who);
    Note(line);
    g_busy = false;
  }
  if (g_mode == kCountAlloc || n != g_at) return false;
  errno = ENOMEM;
  return true;
}

bool IsOpenFd(int fd) { return fcntl(fd, F_GETFD) != -1; }

const char* MappedPath(const void* address) {
  for (const Mapping& m : g_maps)
    if (m.start != nullptr && static_cast<const char*>(address) >= m.start &&
        static_cast<const char*>(address) < m.start + m.length)
      return m.path;
  return nullptr;
}

void NoteMapping(void* start, size_t length, int fd) {
  if (!CountsFileCalls() || getpid() != g_pid) return;
  for (Mapping& m : g_maps)
    if (m.start == nullptr) {
      m.start = static_cast<char*>(start);
      m.length = length;
      FdPath(fd, m.path, sizeof(m.path));
      return;
    }
}

mode_t ModeArgument(int flags, va_list args) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE
             ? static_cast<mode_t>(va_arg(args, int))
             : 0;
}

__attribute__((constructor)) void LoadShim() {
  const char* mode = getenv("FAULT_SHIM_MODE");
  const char* at = getenv("FAULT_SHIM_AT");
  const char* out = getenv("FAULT_SHIM_OUT");
  if (mode != nullptr && out != nullptr) {
    snprintf(g_out, sizeof(g_out), "%s", out);
    g_at = at != nullptr ? atol(at) : 0;
    if (strcmp(mode, "count") == 0) g_mode = kCount;
    else if (strcmp(mode, "eio") == 0) g_mode = kFail, g_errno = EIO;
    else if (strcmp(mode, "enospc") == 0) g_mode = kFail, g_errno = ENOSPC;
    else if (strcmp(mode, "kill") == 0) g_mode = kKill;
    else if (strcmp(mode, "term") == 0) g_mode = kTerm;
    else if (strcmp(mode, "count-alloc") == 0) g_mode = kCountAlloc;
    else if (strcmp(mode, "enomem") == 0) g_mode = kFailAlloc;
  }
  static const char* const kNames[] = {"LD_PRELOAD", "FAULT_SHIM_MODE", "FAULT_SHIM_AT",
                                       "FAULT_SHIM_OUT"};
  for (const char* name : kNames) unsetenv(name);
  g_pid = getpid();
  if (CountsAllocations()) {
    // The first backtrace loads the unwinder, which allocates: done here.
    void* frame;
    g_busy = true;
    backtrace(&frame, 1);
    g_busy = false;
  }
}

__attribute__((destructor)) void UnloadShim() {
  if ((g_mode != kCount && g_mode != kCountAlloc) || getpid() != g_pid) return;
  char head[64];
  snprintf(head, sizeof(head), "calls %ld\n", g_calls);
  RawWriteFile(g_out, head, strlen(head), false);
  RawWriteFile(g_out, g_list != nullptr ? g_list : "", g_listUsed, true);
}

}  // namespace

// One definition per interposed function. NAME is looked up once; CALL is
// the name counted; PATH and FD describe the call; FAIL is the value
// returned when it fails.
#define SHIM_BODY(type, name, call, path, fd, fail, params, args) \
  static auto real = Real<type(*) params>(#name);                  \
  if (Inject(call, path, fd)) return fail;                         \
  return real args;

#define SHIM(type, name, path, fd, fail, params, args) \
  extern "C" type name params { SHIM_BODY(type, name, #name, path, fd, fail, params, args) }

#define SHIM_NOEXCEPT(type, name, path, fd, fail, params, args) \
  extern "C" type name params noexcept { SHIM_BODY(type, name, #name, path, fd, fail, params, args) }

// Opening and creating.
#define SHIM_OPEN(name)                                                       \
  extern "C" int name(const char* path, int flags, ...) {                     \
    va_list args;                                                             \
    va_start(args, flags);                                                    \
    mode_t mode = ModeArgument(flags, args);                                  \
    va_end(args);                                                             \
    static auto real = Real<int (*)(const char*, int, ...)>(#name);           \
    if (Inject("open", path, -1)) return -1;                                  \
    return real(path, flags, mode);                                           \
  }
#define SHIM_OPENAT(name)                                                     \
  extern "C" int name(int dirfd, const char* path, int flags, ...) {          \
    va_list args;                                                             \
    va_start(args, flags);                                                    \
    mode_t mode = ModeArgument(flags, args);                                  \
    va_end(args);                                                             \
    static auto real = Real<int (*)(int, const char*, int, ...)>(#name);      \
    if (Inject("openat", path, -1)) return -1;                                \
    return real(dirfd, path, flags, mode);                                    \
  }
SHIM_OPEN(open)
SHIM_OPEN(open64)
SHIM_OPENAT(openat)
SHIM_OPENAT(openat64)
SHIM(int, __open_2, path, -1, -1, (const char* path, int flags), (path, flags))
SHIM(int, __open64_2, path, -1, -1, (const char* path, int flags), (path, flags))
SHIM(int, __openat_2, path, -1, -1, (int dirfd, const char* path, int flags),
     (dirfd, path, flags))
SHIM(int, creat, path, -1, -1, (const char* path, mode_t mode), (path, mode))
SHIM(int, creat64, path, -1, -1, (const char* path, mode_t mode), (path, mode))
SHIM(FILE*, fopen, path, -1, nullptr, (const char* path, const char* mode), (path, mode))
SHIM(FILE*, fopen64, path, -1, nullptr, (const char* path, const char* mode), (path, mode))
SHIM(int, mkstemp, tmpl, -1, -1, (char* tmpl), (tmpl))
SHIM(int, mkostemp, tmpl, -1, -1, (char* tmpl, int flags), (tmpl, flags))
SHIM(char*, mkdtemp, tmpl, -1, nullptr, (char* tmpl), (tmpl))
SHIM(DIR*, opendir, path, -1, nullptr, (const char* path), (path))
SHIM(int, scandir, path, -1, -1,
     (const char* path, struct dirent*** list, int (*filter)(const struct dirent*),
      int (*compare)(const struct dirent**, const struct dirent**)),
     (path, list, filter, compare))

// Reading and writing.
SHIM(ssize_t, read, nullptr, fd, -1, (int fd, void* buf, size_t n), (fd, buf, n))
SHIM(ssize_t, write, nullptr, fd, -1, (int fd, const void* buf, size_t n), (fd, buf, n))
SHIM(ssize_t, pread, nullptr, fd, -1, (int fd, void* buf, size_t n, off_t at), (fd, buf, n, at))
SHIM(ssize_t, pread64, nullptr, fd, -1, (int fd, void* buf, size_t n, off64_t at),
     (fd, buf, n, at))
SHIM(ssize_t, pwrite, nullptr, fd, -1, (int fd, const void* buf, size_t n, off_t at),
     (fd, buf, n, at))
SHIM(ssize_t, pwrite64, nullptr, fd, -1, (int fd, const void* buf, size_t n, off64_t at),
     (fd, buf, n, at))
SHIM(ssize_t, readv, nullptr, fd, -1, (int fd, const struct iovec* v, int n), (fd, v, n))
SHIM(ssize_t, writev, nullptr, fd, -1, (int fd, const struct iovec* v, int n), (fd, v, n))
SHIM(ssize_t, copy_file_range, nullptr, in, -1,
     (int in, off64_t* inAt, int out, off64_t* outAt, size_t n, unsigned int flags),
     (in, inAt, out, outAt, n, flags))
SHIM_NOEXCEPT(off_t, lseek, nullptr, fd, -1, (int fd, off_t at, int whence), (fd, at, whence))
SHIM_NOEXCEPT(off64_t, lseek64, nullptr, fd, -1, (int fd, off64_t at, int whence),
              (fd, at, whence))

// Flushing to disk; reserving space.
SHIM(int, fsync, nullptr, fd, -1, (int fd), (fd))
SHIM(int, fdatasync, nullptr, fd, -1, (int fd), (fd))
SHIM(int, syncfs, nullptr, fd, -1, (int fd), (fd))
SHIM(int, sync_file_range, nullptr, fd, -1, (int fd, off64_t at, off64_t n, unsigned int flags),
     (fd, at, n, flags))
SHIM(int, fallocate, nullptr, fd, -1, (int fd, int mode, off_t at, off_t n), (fd, mode, at, n))
SHIM(int, msync, MappedPath(address), -1, -1, (void* address, size_t n, int flags),
     (address, n, flags))

// Names and attributes.
SHIM_NOEXCEPT(int, rename, from, -1, -1, (const char* from, const char* to), (from, to))
SHIM_NOEXCEPT(int, renameat, from, -1, -1, (int fromDir, const char* from, int toDir,
                                            const char* to),
              (fromDir, from, toDir, to))
SHIM_NOEXCEPT(int, renameat2, from, -1, -1, (int fromDir, const char* from, int toDir,
                                             const char* to, unsigned int flags),
              (fromDir, from, toDir, to, flags))
SHIM_NOEXCEPT(int, link, from, -1, -1, (const char* from, const char* to), (from, to))
SHIM_NOEXCEPT(int, linkat, from, -1, -1, (int fromDir, const char* from, int toDir,
                                          const char* to, int flags),
              (fromDir, from, toDir, to, flags))
SHIM_NOEXCEPT(int, unlink, path, -1, -1, (const char* path), (path))
SHIM_NOEXCEPT(int, unlinkat, path, -1, -1, (int dirfd, const char* path, int flags),
              (dirfd, path, flags))
SHIM_NOEXCEPT(int, ftruncate, nullptr, fd, -1, (int fd, off_t n), (fd, n))
SHIM_NOEXCEPT(int, ftruncate64, nullptr, fd, -1, (int fd, off64_t n), (fd, n))
SHIM_NOEXCEPT(int, truncate, path, -1, -1, (const char* path, off_t n), (path, n))
SHIM_NOEXCEPT(int, fchmod, nullptr, fd, -1, (int fd, mode_t mode), (fd, mode))
SHIM_NOEXCEPT(int, chmod, path, -1, -1, (const char* path, mode_t mode), (path, mode))
SHIM_NOEXCEPT(int, fchmodat, path, -1, -1, (int dirfd, const char* path, mode_t mode, int flags),
              (dirfd, path, mode, flags))
SHIM_NOEXCEPT(int, fchown, nullptr, fd, -1, (int fd, uid_t uid, gid_t gid), (fd, uid, gid))
SHIM_NOEXCEPT(int, mkdir, path, -1, -1, (const char* path, mode_t mode), (path, mode))
SHIM_NOEXCEPT(int, access, path, -1, -1, (const char* path, int how), (path, how))
SHIM_NOEXCEPT(int, faccessat, path, -1, -1, (int dirfd, const char* path, int how, int flags),
              (dirfd, path, how, flags))
SHIM_NOEXCEPT(int, flock, nullptr, fd, -1, (int fd, int how), (fd, how))
SHIM_NOEXCEPT(int, chdir, path, -1, -1, (const char* path), (path))
SHIM_NOEXCEPT(int, fchdir, nullptr, fd, -1, (int fd), (fd))
SHIM_NOEXCEPT(char*, getcwd, nullptr, -1, nullptr, (char* buf, size_t size), (buf, size))

// The stat family as glibc 2.36 exports it (the __xstat forms serve
// programs built against older versions).
SHIM_NOEXCEPT(int, stat, path, -1, -1, (const char* path, struct stat* st), (path, st))
SHIM_NOEXCEPT(int, stat64, path, -1, -1, (const char* path, struct stat64* st), (path, st))
SHIM_NOEXCEPT(int, lstat, path, -1, -1, (const char* path, struct stat* st), (path, st))
SHIM_NOEXCEPT(int, lstat64, path, -1, -1, (const char* path, struct stat64* st), (path, st))
SHIM_NOEXCEPT(int, fstat, nullptr, fd, -1, (int fd, struct stat* st), (fd, st))
SHIM_NOEXCEPT(int, fstat64, nullptr, fd, -1, (int fd, struct stat64* st), (fd, st))
SHIM_NOEXCEPT(int, fstatat, path, -1, -1, (int dirfd, const char* path, struct stat* st,
                                          int flags),
              (dirfd, path, st, flags))
SHIM_NOEXCEPT(int, fstatat64, path, -1, -1, (int dirfd, const char* path, struct stat64* st,
                                            int flags),
              (dirfd, path, st, flags))
SHIM_NOEXCEPT(int, statx, path, -1, -1, (int dirfd, const char* path, int flags,
                                         unsigned int mask, struct statx* st),
              (dirfd, path, flags, mask, st))
SHIM_NOEXCEPT(int, __xstat, path, -1, -1, (int version, const char* path, struct stat* st),
              (version, path, st))
SHIM_NOEXCEPT(int, __lxstat, path, -1, -1, (int version, const char* path, struct stat* st),
              (version, path, st))
SHIM_NOEXCEPT(int, __fxstat, nullptr, fd, -1, (int version, int fd, struct stat* st),
              (version, fd, st))
SHIM_NOEXCEPT(int, __fxstatat, path, -1, -1, (int version, int dirfd, const char* path,
                                              struct stat* st, int flags),
              (version, dirfd, path, st, flags))

// Mapping files.
extern "C" void* mmap(void* address, size_t n, int prot, int flags, int fd, off_t at) noexcept {
  static auto real = Real<void* (*)(void*, size_t, int, int, int, off_t)>("mmap");
  if (fd < 0 || (flags & MAP_ANONYMOUS)) return real(address, n, prot, flags, fd, at);
  if (Inject("mmap", nullptr, fd)) return MAP_FAILED;
  void* map = real(address, n, prot, flags, fd, at);
  if (map != MAP_FAILED) NoteMapping(map, n, fd);
  return map;
}
extern "C" void* mmap64(void* address, size_t n, int prot, int flags, int fd,
                        off64_t at) noexcept {
  return mmap(address, n, prot, flags, fd, static_cast<off_t>(at));
}

// Closing. A failed close still releases the descriptor, as on Linux.
extern "C" int close(int fd) {
  static auto real = Real<int (*)(int)>("close");
  if (!IsOpenFd(fd)) return real(fd);
  if (Inject("close", nullptr, fd)) {
    real(fd);
    errno = g_errno;
    return -1;
  }
  return real(fd);
}

// Streams: a failed flush or close loses what was buffered.
extern "C" int fflush(FILE* stream) {
  static auto real = Real<int (*)(FILE*)>("fflush");
  if (stream == nullptr) return real(stream);
  if (Inject("fflush", nullptr, fileno(stream))) {
    __fpurge(stream);
    errno = g_errno;
    return EOF;
  }
  return real(stream);
}
extern "C" int fclose(FILE* stream) {
  static auto real = Real<int (*)(FILE*)>("fclose");
  if (Inject("fclose", nullptr, fileno(stream))) {
    __fpurge(stream);
    real(stream);
    errno = g_errno;
    return EOF;
  }
  return real(stream);
}

// Allocations, handed to the C library's own allocator under its internal
// names (a lookup through dlsym could itself allocate).
extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* __libc_realloc(void* old, size_t size);
extern "C" void* __libc_memalign(size_t alignment, size_t size);
extern "C" void* __libc_valloc(size_t size);

#define CALLER __builtin_return_address(0)

extern "C" void* malloc(size_t size) noexcept {
  return FailAllocation("malloc", CALLER) ? nullptr : __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) noexcept {
  return FailAllocation("calloc", CALLER) ? nullptr : __libc_calloc(count, size);
}
extern "C" void* realloc(void* old, size_t size) noexcept {
  return FailAllocation("realloc", CALLER) ? nullptr : __libc_realloc(old, size);
}
extern "C" void* memalign(size_t alignment, size_t size) noexcept {
  return FailAllocation("memalign", CALLER) ? nullptr : __libc_memalign(alignment, size);
}
extern "C" void* aligned_alloc(size_t alignment, size_t size) noexcept {
  return FailAllocation("aligned_alloc", CALLER) ? nullptr : __libc_memalign(alignment, size);
}
extern "C" void* valloc(size_t size) noexcept {
  return FailAllocation("valloc", CALLER) ? nullptr : __libc_valloc(size);
}
extern "C" int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  if (alignment == 0 || alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0)
    return EINVAL;
  if (FailAllocation("posix_memalign", CALLER)) return ENOMEM;
  void* memory = __libc_memalign(alignment, size);
  if (memory == nullptr) return ENOMEM;
  *out = memory;
  return 0;
}

// The program's main, entered through the shim so that allocations are
// counted from there on.
namespace {
int CountingMain(int argc, char** argv, char** envp) {
  g_inMain = true;
  return g_main(argc, argv, envp);
}
}  // namespace

extern "C" int __libc_start_main(int (*main)(int, char**, char**), int argc, char** argv,
                                 void (*init)(), void (*fini)(), void (*rtldFini)(),
                                 void* stackEnd) {
  auto real = Real<int (*)(int (*)(int, char**, char**), int, char**, void (*)(), void (*)(),
                           void (*)(), void*)>("__libc_start_main");
  g_main = main;
  return real(CountingMain, argc, argv, init, fini, rtldFini, stackEnd);
}
