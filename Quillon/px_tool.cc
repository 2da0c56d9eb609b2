// The scrambled file and string codec. See px_tool.h for the format and the
// contract of every operation.

#include "px_tool.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "safe_file.h"

const char kCodecTempTag[] = "pxtmp";

namespace {

bool Transforms(PXTool::PXCryptMethod method) {
  return method == PXTool::PXEncryptKey1 || method == PXTool::PXEncryptKey2;
}

// The two permutations on the eight bytes of a word at once; the masks keep
// every bit inside its own byte, so a single byte in the low eight bits
// comes out transformed there too.
// Method 1: the high and the low nibble change places.
inline uint64_t NibbleSwap8(uint64_t x) {
  const uint64_t kLow = 0x0F0F0F0F0F0F0F0FULL;
  return ((x & kLow) << 4) | ((x >> 4) & kLow);
}

// Method 2: the four 2-bit groups in reverse order, then the outer two
// groups inverted (xor C3).
inline uint64_t PairReversal8(uint64_t x) {
  const uint64_t k03 = 0x0303030303030303ULL, k0C = 0x0C0C0C0C0C0C0C0CULL;
  return (((x & k03) << 6) | ((x & k0C) << 2) | ((x >> 2) & k0C) |
          ((x >> 6) & k03)) ^
         0xC3C3C3C3C3C3C3C3ULL;
}

// Transforms n bytes with `permute`, a word at a time (a byte at a time
// costs several times the read and the write of the block together), the
// last few bytes one by one. `in` and `out` may be the same.
template <uint64_t (*permute)(uint64_t)>
void Permute(const unsigned char* in, unsigned char* out, size_t n) {
  size_t i = 0;
  for (uint64_t word; i + 8 <= n; i += 8) {
    memcpy(&word, in + i, 8);
    word = permute(word);
    memcpy(out + i, &word, 8);
  }
  for (; i < n; ++i) out[i] = static_cast<unsigned char>(permute(in[i]));
}

// Transforms n bytes with a method for which Transforms() holds.
void TransformBytes(PXTool::PXCryptMethod method, const unsigned char* in,
                    unsigned char* out, size_t n) {
  if (method == PXTool::PXEncryptKey1)
    Permute<NibbleSwap8>(in, out, n);
  else
    Permute<PairReversal8>(in, out, n);
}

// The trailers, in file order. None of their bytes is zero.
const KEY kKey1 = {"#PELK_ROW#"};
const KEY kKey2 = {{'\x06', '\x0B', '\x21', '\x0E', '\x51', '\x7E', '\x39',
                    '\x5D', '\x11', '\x07', '\0'}};
const KEY kKey3 = {"#MIRA_DOV#"};
const size_t kTrailerSize = 10;

const KEY* TrailerOf(PXTool::PXCryptMethod method) {
  switch (method) {
    case PXTool::PXEncryptKey1: return &kKey1;
    case PXTool::PXEncryptKey2: return &kKey2;
    case PXTool::PXEncryptKey3: return &kKey3;
    default: return nullptr;
  }
}

bool Above(PXTool::PXCryptMethod method, unsigned bound) {
  return static_cast<unsigned>(method) > bound;
}

// Closes its descriptor on every path out of a scope.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Opens a source for reading. O_NONBLOCK keeps a FIFO from hanging the open;
// such sources are refused once fstat has shown what they are.
int OpenSource(const char* path) {
  return OpenRetrying(AT_FDCWD, path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
}

// The size of an opened source (`fd` from OpenSource). Returns 0; 5 when it
// could not be opened, or is not a regular file (errno then 0); the errno
// of a failed fstat.
int RegularSourceSize(int fd, unsigned long long* size) {
  if (fd < 0) return 5;
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) {
    errno = 0;
    return 5;
  }
  *size = static_cast<unsigned long long>(st.st_size);
  return 0;
}

// Reads the last kTrailerSize bytes of a file of `size` bytes into `key`
// (zero-terminated). True when they were all read; false for a file too
// short to carry a trailer (errno 0) or a failed read (errno set).
bool ReadTrailer(int fd, unsigned long long size, KEY* key) {
  memset(key, 0, sizeof(*key));
  errno = 0;
  if (size < kTrailerSize) return false;
  ssize_t got = ReadFully(fd, key->lookfor, kTrailerSize,
                          static_cast<off_t>(size - kTrailerSize));
  if (got < 0) return false;
  errno = 0;
  return static_cast<size_t>(got) == kTrailerSize;
}

// Copies from the current position of `in` to that of `out`, transformed
// with `method` unless it is PXDecrypt, block by block. Stops after `limit` bytes or
// at the end of `in`, whichever comes first; sets `*copied` to the count.
// False with errno set on a read or write failure.
bool CopyBlocks(int in, int out, PXTool::PXCryptMethod method,
                unsigned long long limit, unsigned long long* copied,
                PXSourceObserver* observer = nullptr) {
  *copied = 0;
  std::unique_ptr<unsigned char[]> owner(
      new (std::nothrow) unsigned char[PXTool::kBlockSize]);
  unsigned char* const buf = owner.get();
  if (!buf) {
    errno = ENOMEM;
    return false;
  }
  while (*copied < limit) {
    size_t want = PXTool::kBlockSize;
    if (limit - *copied < want) want = static_cast<size_t>(limit - *copied);
    ssize_t got = ReadFully(in, buf, want);
    if (got < 0) return false;
    if (got == 0) break;
    if (observer) observer->Bytes(buf, static_cast<size_t>(got));
    if (method != PXTool::PXDecrypt)
      TransformBytes(method, buf, buf, static_cast<size_t>(got));
    if (!WriteAll(out, buf, static_cast<size_t>(got))) return false;
    *copied += static_cast<unsigned long long>(got);
    if (static_cast<size_t>(got) < want) break;
  }
  return true;
}

// Copies `in` to `out` unchanged until the end of `in`. The kernel copies
// where both files allow it (no trip through user memory, as cp does);
// otherwise, or for files that report no size (such as those of /proc),
// the block loop does. An observer must see the bytes: the block loop.
bool CopyPlain(int in, int out, PXSourceObserver* observer) {
  const size_t kChunk = size_t{1} << 30;
  bool first = true;
  while (!observer) {
    ssize_t n = copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
    if (n > 0) {
      first = false;
      continue;
    }
    if (n == 0) {
      if (!first) return true;
      break;
    }
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
        errno == EOPNOTSUPP || errno == EBADF || errno == ETXTBSY ||
        errno == EPERM) {
      break;  // not possible between these two; positions are where they were
    }
    return false;
  }
  unsigned long long copied = 0;
  return CopyBlocks(in, out, PXTool::PXDecrypt, ~0ULL, &copied, observer);
}

// True when `path` names the file described by `source`.
bool SameFile(const struct stat& source, const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return false;
  return st.st_dev == source.st_dev && st.st_ino == source.st_ino;
}

// The destination of a file operation. It is written as a new temporary
// file in its directory (created exclusively, never through a link) and
// renamed over the name on Commit, so the name never shows a partial
// result. A name that holds a symbolic link, something that is not a
// regular file, or a file that is not this user's own with one link is
// refused: such a file may have been planted to be written through.
class OutputFile {
 public:
  explicit OutputFile(mode_t mode) : mode_(mode) {}
  ~OutputFile() {
    if (active_) Discard();
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // False, with errno set, when the destination is refused or cannot be
  // created.
  bool Open(const char* path);
  int fd() const { return fd_; }
  // Publishes the result under the destination's name. False, with errno
  // set, when that fails; Discard then cleans up.
  bool Commit();
  // Drops the partial result: removes the temporary file and the regular
  // file the destination names. Keeps errno.
  void Discard();

 private:
  mode_t mode_;
  std::string target_;  // the name the result appears under
  std::string temp_;    // the temporary file
  bool existed_ = false;
  bool active_ = false;
  int fd_ = -1;
};

bool OutputFile::Open(const char* path) {
  target_ = path;
  if (!WhyNotOwnFile(path, &existed_).empty()) {
    errno = EPERM;
    return false;
  }
  // A file its owner protected against writing stays protected.
  if (existed_ && faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0)
    return false;
  std::string why;
  fd_ = CreateTemporaryBeside(target_, kCodecTempTag, mode_, &temp_, &why);
  if (fd_ < 0) return false;
  active_ = true;
  return true;
}

bool OutputFile::Commit() {
  int rc = close(fd_);
  fd_ = -1;
  // On Linux the descriptor is gone even when close reports EINTR.
  if (rc != 0 && errno != EINTR) return false;
  if (rename(temp_.c_str(), target_.c_str()) != 0) return false;
  active_ = false;
  return true;
}

void OutputFile::Discard() {
  int saved = errno;
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  if (!temp_.empty()) unlink(temp_.c_str());
  // A stale copy of an earlier result must not pass for this one.
  if (existed_) unlink(target_.c_str());
  active_ = false;
  errno = saved;
}

// 0666 less the process's umask: the mode a new file gets by default.
mode_t DefaultFileMode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

PXTool::PXTool() { memset(&m_pxkey, 0, sizeof(m_pxkey)); }

PXTool::~PXTool() {}

int PXTool::GetPXFile2File(const char* source, const char* destination,
                           PXCryptMethod method) {
  // GetPXFile refuses the same arguments, and method 3 as well.
  return GetPXFile(source, destination, method);
}

int PXTool::GetPXFile(const char* lpszFileName1, const char* lpszFileName2,
                      PXCryptMethod bEncrDecr) {
  return GetPXFile2FileWith(lpszFileName1, lpszFileName2, bEncrDecr,
                            PXFileOptions());
}

int PXTool::GetPXFile2FileWith(const char* source, const char* destination,
                               PXCryptMethod method,
                               const PXFileOptions& options) {
  errno = 0;
  if (!source) return 15;
  if (!destination) return 16;
  if (Above(method, 2)) return 10;
  {
    ScopedFd fd(OpenSource(source));
    unsigned long long size = 0;
    int rc = RegularSourceSize(fd.get(), &size);
    if (rc != 0) return rc;
  }
  PXTool tool;
  return tool.getFile(source, destination, method,
                      options.mode != 0 ? options.mode : DefaultFileMode(),
                      options.observer);
}

int PXTool::getFile(const char* lpszFileName1, const char* lpszFileName2,
                    PXCryptMethod bWriteFile, mode_t mode,
                    PXSourceObserver* observer) {
  ScopedFd in(OpenSource(lpszFileName1));
  if (in.get() < 0) return -2;
  struct stat st;
  if (fstat(in.get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) {
    errno = 0;
    return 5;
  }
  m_pxkey.dwLen = static_cast<size_t>(st.st_size);
  const unsigned long long size = static_cast<unsigned long long>(st.st_size);
  posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

  PXCryptMethod found = PXDecrypt;
  KEY key;
  if (ReadTrailer(in.get(), size, &key)) found = getCryptMethod(key);
  if (errno != 0) return errno;

  // Never write the file being read: whatever it holds now is all there is.
  if (SameFile(st, lpszFileName2)) {
    errno = 0;
    return found == PXDecrypt && bWriteFile == PXDecrypt ? 0 : 10;
  }

  OutputFile out(mode);
  if (!out.Open(lpszFileName2)) return 10;
  errno = 0;
  int rc;
  if (found != PXDecrypt) {
    rc = enkeyOfFile(in.get(), out.fd(), size - kTrailerSize, found, 0,
                     observer);
    if (rc == 0 && observer)  // read first, but it ends the file
      observer->Bytes(reinterpret_cast<const unsigned char*>(key.lookfor),
                      kTrailerSize);
  } else if (bWriteFile != PXDecrypt) {
    rc = enkeyOfFile(in.get(), out.fd(), size, bWriteFile, 1, observer);
    if (rc == 0 && !addKey2File(out.fd(), bWriteFile)) rc = 10;
  } else {
    rc = CopyPlain(in.get(), out.fd(), observer) ? 0 : 10;
  }
  return rc == 0 && out.Commit() ? 0 : 10;  // else `out` discards it
}

int PXTool::enkeyOfFile(int in, int out, size_t len, PXCryptMethod type,
                        int dir, PXSourceObserver* observer) {
  if (in < 0) return 5;
  if (out < 0) return 5;
  if (len == 0) return 6;
  if (!Transforms(type)) return 10;
  if (static_cast<unsigned>(dir) > 1) return 10;
  if (lseek(in, 0, SEEK_SET) < 0) return 10;
  unsigned long long copied = 0;
  if (!CopyBlocks(in, out, type, len, &copied, observer)) return 10;
  if (copied != len) {
    errno = EIO;  // the source shrank while it was read
    return 10;
  }
  return 0;
}

bool PXTool::addKey2File(int out, PXCryptMethod nType) {
  const KEY* trailer = TrailerOf(nType);
  if (!trailer) return false;
  return WriteAll(out, trailer->lookfor, kTrailerSize);
}

PXTool::PXCryptMethod PXTool::getCryptMethod(const KEY& Key) {
  for (PXCryptMethod method : {PXEncryptKey3, PXEncryptKey2, PXEncryptKey1})
    if (memcmp(Key.lookfor, TrailerOf(method)->lookfor, kTrailerSize) == 0)
      return method;
  return PXDecrypt;
}

int PXTool::GetPXString2String(const char* source, char* destination,
                               size_t destinationSize, PXCryptMethod method) {
  return GetPXString(source, destination, destinationSize, method);
}

int PXTool::GetPXString(const char* lpszString1, char* lpszString2,
                        size_t String2Size, PXCryptMethod bEncrDecr) {
  if (!lpszString1) return 17;
  if (!lpszString2) return 18;
  if (Above(bEncrDecr, 2)) return 10;
  return getString(lpszString1, lpszString2, String2Size, bEncrDecr);
}

int PXTool::getString(const char* cpStr1, char* pStr2, size_t Str2Size,
                      PXCryptMethod action) {
  const size_t len = strlen(cpStr1);
  m_pxkey.dwLen = len;
  if (action != PXDecrypt) {
    if (Str2Size < len + kTrailerSize + 1) return 10;
    if (len > 0) {
      int rc = enDeKeyString(cpStr1, pStr2, Str2Size, len, action, action);
      if (rc != 0) return rc;
    }
    addKey2String(pStr2, Str2Size, len, action);
    return 0;
  }
  if (len <= kTrailerSize) return 11;
  m_pxkey.dwLen = len - kTrailerSize;
  KEY key;
  memcpy(key.lookfor, cpStr1 + len - kTrailerSize, kTrailerSize);
  key.lookfor[kTrailerSize] = '\0';
  PXCryptMethod found = getCryptMethod(key);
  if (found == PXDecrypt || found == PXEncryptKey3) return 10;
  if (Str2Size < m_pxkey.dwLen + 1) return 10;
  int rc = enDeKeyString(cpStr1, pStr2, Str2Size, m_pxkey.dwLen, found, found);
  if (rc != 0) return rc;
  pStr2[m_pxkey.dwLen] = '\0';
  return 0;
}

int PXTool::enDeKeyString(const char* in, char* pOut, size_t /*size*/,
                          size_t len, PXCryptMethod type, int dir) {
  if (len == 0) return 6;
  if (!Transforms(type) || static_cast<unsigned>(dir) > 2) return 10;
  TransformBytes(type, reinterpret_cast<const unsigned char*>(in),
                 reinterpret_cast<unsigned char*>(pOut), len);
  return 0;
}

bool PXTool::addKey2String(char* pOutBuffer, size_t OutBufferSize,
                           size_t Offset, PXCryptMethod nType) {
  const KEY* trailer = TrailerOf(nType);
  if (!trailer || OutBufferSize < kTrailerSize + 1 ||
      Offset > OutBufferSize - kTrailerSize - 1)
    return false;
  memcpy(pOutBuffer + Offset, trailer->lookfor, kTrailerSize + 1);
  return true;
}

int PXTool::GetPXFile2String(const char* source, char* destination,
                             size_t destinationSize, PXCryptMethod method) {
  if (!source) return 15;
  if (!destination) return 18;
  if (Above(method, 2)) return 10;
  std::unique_ptr<char[]> scratch;
  {
    ScopedFd fd(OpenSource(source));
    if (fd.get() < 0) return -2;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return 5;
    m_pxkey.dwLen = static_cast<size_t>(st.st_size);
    const size_t size = m_pxkey.dwLen;
    scratch.reset(new (std::nothrow) char[size + 1]);
    if (!scratch) return -3;
    ssize_t got = ReadFully(fd.get(), scratch.get(), size);
    if (got < 0) return errno;
    scratch[got] = '\0';
    if (destinationSize > 0) {
      size_t shown = static_cast<size_t>(got);
      if (shown > destinationSize - 1) shown = destinationSize - 1;
      memcpy(destination, scratch.get(), shown);
      destination[shown] = '\0';
    }
  }
  return getString(scratch.get(), destination, destinationSize, method);
}

int PXTool::GetPXFileLengh(const TCHAR* source, int& FileLength) {
  if (!source) return 5;
  ScopedFd fd(OpenSource(source));
  if (fd.get() < 0) return 5;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return 5;
  if (st.st_size > static_cast<off_t>(INT_MAX - 256)) return 10;
  FileLength = static_cast<int>(st.st_size) + 256;
  return 0;
}

int PXTool::GetPXFileInfo(const char* source, PXCryptMethod& method,
                          unsigned long long& plainSize) {
  errno = 0;
  if (!source) return 15;
  ScopedFd fd(OpenSource(source));
  unsigned long long size = 0;
  int rc = RegularSourceSize(fd.get(), &size);
  if (rc != 0) return rc;
  PXCryptMethod found = PXDecrypt;
  KEY key;
  if (ReadTrailer(fd.get(), size, &key)) found = getCryptMethod(key);
  if (errno != 0) return errno;
  method = found;
  plainSize = found == PXDecrypt ? size : size - kTrailerSize;
  return 0;
}
