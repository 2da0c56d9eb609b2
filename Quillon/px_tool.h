// PXTool: the codec for scrambled package files and strings.
//
// A scrambled file is its plain bytes, each passed on its own through a
// fixed keyless byte permutation, followed by a 10-byte method trailer that
// names the permutation. There is no header and no length field: the plain
// size is the scrambled size minus 10, and a file whose last 10 bytes are
// not exactly one of the three trailers is plain (a file with anything
// appended after a trailer, a newline say, is plain).
//
//   method 1  trailer "#PELK_ROW#"                      nibble swap
//   method 2  trailer 06 0B 21 0E 51 7E 39 5D 11 07     bit pairs reversed,
//                                                       then xor C3
//   method 3  trailer "#MIRA_DOV#"                      recognised, refused
//
// Both permutations are their own inverse. A scrambled string is the
// transformed characters, the 10 trailer characters and a terminating zero;
// it is read up to its first zero byte.
//
// The file operation toggles on the source: a source that ends with a
// trailer is always decoded, whatever method the caller asked for; a source
// without one is scrambled with the requested method, or copied unchanged
// when the request is PXDecrypt. So GetPXFile2File(src, dst, PXDecrypt)
// always leaves the plain form of `src` at `dst` -- what the staging of
// package files relies on.
//
// Result codes: 0 means done; each operation below lists the others (the
// codec writes no message and no log). Any other positive value is the
// errno of a failed fstat or read of the source.
// After a non-zero result of GetPXFile2File, GetPXFile or GetPXFileInfo
// errno holds the system error behind it, or 0 when nothing failed in the
// system (an argument, method or trailer refused, a source that is not a
// regular file, source and destination the same file).
//
// Files are processed in blocks of kBlockSize bytes with one buffer, so the
// memory used does not grow with the file; sizes are 64-bit throughout. A
// plain copy goes through the kernel (copy_file_range) where the file
// systems allow it, else through the same block loop.
//
// One object may serve any number of operations in sequence but not two
// threads at once; the static operations keep no state. Every operation
// closes every descriptor it opened before it returns, on every path, and
// opens them close-on-exec.

#ifndef QUILLON_PX_TOOL_H_
#define QUILLON_PX_TOOL_H_

#include <sys/types.h>

#include <cstddef>

#ifndef QUILLON_TCHAR_DEFINED
#define QUILLON_TCHAR_DEFINED
typedef char TCHAR;
#endif

// Sees every byte a file operation reads from its source, once, in file
// order (the trailer in its place at the end), before it is transformed:
// the bytes given to Bytes add up to the source file as stored.
class PXSourceObserver {
 public:
  virtual ~PXSourceObserver() = default;
  virtual void Bytes(const unsigned char* data, size_t size) = 0;
};

// A trailer: its 10 bytes followed by a zero.
typedef struct key {
  char lookfor[11];
} KEY;

typedef struct {
  // Scratch length of the current operation: the source file's size, a
  // string's length, a decoded string's plain length. Written by every
  // operation before it is read; meaningless between operations.
  size_t dwLen;
  // A trailer slot, zeroed at construction and not otherwise used.
  KEY Cry;
} STRUCT_KEY;

// The tag of the temporary file a copy is written to before it is renamed
// over its name (safe_file.h, CreateTemporaryBeside): a copy cut short by a
// killed process leaves ".<name>.pxtmp-<pid>-<n>" behind.
extern const char kCodecTempTag[];

class PXTool {
 public:
  // As a request: what to do. As a detected trailer: what the source is.
  enum PXCryptMethod : int {
    PXDecrypt = 0,      // decode if scrambled, else copy (files) / no trailer
    PXEncryptKey1 = 1,  // nibble swap
    PXEncryptKey2 = 2,  // bit-pair reversal with the outer pairs inverted
    PXEncryptKey3 = 3,  // never transformed: refused with 10
  };

  // Size of the one buffer a file operation works with.
  static constexpr size_t kBlockSize = 256 << 10;

  PXTool();
  ~PXTool();

  // --- File to file ---------------------------------------------------------
  //
  // GetPXFile2File: null source 15, null destination 16, method above 3 (an
  // unsigned comparison, so negative values too) 10 with the destination
  // untouched; otherwise the result of GetPXFile.
  //
  // GetPXFile: as above with method 3 refused as well. Then, by source:
  //   ends with the method-1 or -2 trailer, longer than 10 bytes
  //       -> 0, destination holds the decoded bytes (source size - 10)
  //   has no trailer (includes sources shorter than 10 bytes), request 0
  //       -> 0, destination is an exact copy (empty sources included)
  //   has no trailer, request 1 or 2, not empty
  //       -> 0, destination holds the scrambled bytes and the trailer
  //   ends with the method-3 trailer, is a bare trailer, or is empty with a
  //   scramble request -> 10, destination removed
  //   cannot be opened -> 5 / not a regular file -> 5, destination untouched
  //
  // What is on disk:
  // - On success the destination holds the complete result. It is written
  //   as a new file beside it in the same directory (".NAME.pxtmp-PID-N",
  //   created exclusively with 0666 less the umask) and renamed over the
  //   name at the end; a file it replaces keeps nothing of its own (owner,
  //   mode). A name that holds a symbolic link, anything but a regular file,
  //   or a file that is not this user's own with one link is refused with
  //   10 and left as it is (errno EPERM): root never writes through a link
  //   or into a file another user planted.
  // - On any failure after the source was found usable (10: refused
  //   trailer, destination not creatable, read error, disk full part-way)
  //   no partial result is left: the temporary file is removed and so is
  //   the regular file the destination named, so a stale or truncated copy
  //   is never mistaken for the result. Failures found before (arguments,
  //   source not openable, same file) leave the destination untouched.
  // - A process crash part-way leaves the destination as it was (old
  //   content or absent) and may leave the temporary file behind.
  // - Nothing is synced: after a power cut the new content may be missing.
  //
  // Source and destination the same file (same device and inode, through
  // any name or link): the file is never written. A plain source with a
  // PXDecrypt request already is its own result: 0. Anything that would
  // change it (a trailer to decode, a scramble request) is refused with 10.
  int GetPXFile2File(const char* source, const char* destination,
                     PXCryptMethod method);
  int GetPXFile(const char* lpszFileName1, const char* lpszFileName2,
                PXCryptMethod bEncrDecr);
  // What GetPXFile2FileWith takes beyond GetPXFile2File's arguments.
  struct PXFileOptions {
    // The destination's mode, exactly, whatever the umask; 0: 0666 less
    // the umask, as the other operations give it. Staging asks for 0600.
    mode_t mode = 0;
    // Shown every source byte (may be null). With an observer a plain copy
    // goes through the block loop, not the kernel's copy, so that the bytes
    // pass through user memory. The observer sees nothing when the
    // operation is refused before reading (arguments, an unopenable source,
    // source and destination the same file), and may have seen part of the
    // source when it fails later.
    PXSourceObserver* observer = nullptr;
  };
  // GetPXFile with the options above.
  static int GetPXFile2FileWith(const char* source, const char* destination,
                                PXCryptMethod method,
                                const PXFileOptions& options);

  // --- String to string -----------------------------------------------------
  //
  // GetPXString: null source 17, null destination 18, method above 2 10.
  // Encode (1, 2): `destination` receives the transformed characters, the
  // trailer and a zero; it needs room for length + 11 bytes, else 10 and
  // nothing is written. The empty string encodes to the bare trailer.
  // Decode (0): 11 for 10 characters or fewer; 10 for no trailer or the
  // method-3 trailer; otherwise the plain text and its zero (length - 9
  // bytes, else 10 and nothing written) -> 0. On a failure `destination` is
  // untouched.
  int GetPXString2String(const char* source, char* destination,
                         size_t destinationSize, PXCryptMethod method);
  int GetPXString(const char* lpszString1, char* lpszString2,
                  size_t String2Size, PXCryptMethod bEncrDecr);

  // --- File to string -------------------------------------------------------
  //
  // Null source 15, null destination 18, method above 2 10; source not
  // openable -2, not a regular file 5, no memory -3. The file's text is put
  // into `destination` (terminated, cut to destinationSize - 1 bytes), then
  // GetPXString runs on it: so a decode request on a file without a trailer
  // gives 10 (11 for 10 bytes or fewer) and leaves the file's own text in
  // `destination`. The text ends at the file's first zero byte. A buffer of
  // GetPXFileLengh bytes is always large enough.
  int GetPXFile2String(const char* source, char* destination,
                       size_t destinationSize, PXCryptMethod method);

  // Sets FileLength to the file's size plus 256 -> 0. Source null, not
  // openable or not a regular file: 5. Size above INT_MAX - 256: 10.
  // FileLength is set only on success.
  static int GetPXFileLengh(const TCHAR* source, int& FileLength);

  // What the trailer of `source` names (PXDecrypt for none) and the size its
  // plain form has (the file size, less 10 when a trailer was found). Null
  // source 15, not openable or not a regular file 5, a failed fstat or read
  // its errno. Outputs are set only on success.
  static int GetPXFileInfo(const char* source, PXCryptMethod& method,
                           unsigned long long& plainSize);

 private:
  PXTool(const PXTool&) = delete;
  PXTool& operator=(const PXTool&) = delete;

  // The file operation behind GetPXFile. Opens the source again (-2 when
  // that fails), detects its trailer and chooses decode, encode or copy.
  int getFile(const char* lpszFileName1, const char* lpszFileName2,
              PXCryptMethod bWriteFile, mode_t mode,
              PXSourceObserver* observer = nullptr);
  // The string operation behind GetPXString.
  int getString(const char* cpStr1, char* pStr2, size_t Str2Size,
                PXCryptMethod action);
  // Transforms `len` bytes of descriptor `in`, from its start, into `out`
  // at its current position. `in` or `out` negative 5, `len` 0 6, `type`
  // not 1 or 2 10, `dir` (0 decode, 1 encode) above 1 10; a read or write
  // failure, or a source shorter than `len`, 10 with errno set.
  static int enkeyOfFile(int in, int out, size_t len, PXCryptMethod type,
                         int dir, PXSourceObserver* observer = nullptr);
  // Transforms `len` bytes of `in` into `pOut`. `len` 0 6, `type` not 1 or
  // 2 or `dir` above 2 10. The output size is checked by the caller.
  int enDeKeyString(const char* in, char* pOut, size_t size, size_t len,
                    PXCryptMethod type, int dir);
  // Writes the trailer of methods 1 to 3 at `out`'s position. False for any
  // other method or when the write fails.
  bool addKey2File(int out, PXCryptMethod nType);
  // Puts the trailer and a zero at pOutBuffer[Offset..Offset+10] when they
  // fit within OutBufferSize; false (nothing written) otherwise.
  bool addKey2String(char* pOutBuffer, size_t OutBufferSize, size_t Offset,
                     PXCryptMethod nType);
  // The method whose trailer equals the 10 bytes of `Key` (compared over
  // all 10, zero bytes included), or PXDecrypt.
  static PXCryptMethod getCryptMethod(const KEY& Key);

  STRUCT_KEY m_pxkey;
};

#endif  // QUILLON_PX_TOOL_H_
