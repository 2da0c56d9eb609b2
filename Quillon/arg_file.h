// The argument file ("px.arg"): the package's script and the run's progress
// record.
//
// The file is mapped shared and writable. It is read as text that ends at its
// first zero byte or at the end of the file, whichever comes first: every
// search here is bounded by that end, also when the file's size is an exact
// multiple of the page size and the mapping holds no zero after it.
//
// Grammar: lines end in CR LF; the character before each LF is dropped
// unseen. "[Runtime]" is followed by optional "#" comment lines and then,
// somewhere, "FWPATH=<package directory>". A command section starts on the
// line after its key ("[Commands]", "[UpdCommands]", "[ExpCommands]") and
// ends at the first line that begins with "[". Inside it, a line that begins
// with "0" is a pending command line:
//
//   offset 0: state, "0" pending, "1" taken up
//   offset 2: three-digit result field, written after the command
//   offset 6: command text
//
// Every other line is passed over.
//
// Durability: marks are written through the shared mapping. A mark reaches
// the file's page cache at once (it survives a crash of the process), and
// MarkLineTaken flushes its page to disk before returning (it survives a
// power cut). When the run keeps a record of taken lines (a signed
// package, taken_lines.h), the line is in the record, on disk, before its
// mark is written: a crash between the two leaves it recorded and pending.

#ifndef QUILLON_ARG_FILE_H_
#define QUILLON_ARG_FILE_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <string>

#include "arg_grammar.h"

class TakenLines;

// A mapped argument file. `text` is the mapping; the text ends at `textEnd`.
struct ArgFileView {
  int fd = -1;
  dev_t device = 0;  // identity of the open file
  ino_t inode = 0;
  // The directory the file was opened in (an O_PATH handle, -1 if none could
  // be had) and the file's name in it: its name is looked at again through
  // the handle, never through a path re-resolved after a change of
  // directory (which may be longer than PATH_MAX, or lead elsewhere).
  int dirFd = -1;
  std::string baseName;
  char* text = nullptr;
  size_t mapSize = 0;
  char* textEnd = nullptr;
  // The record every line taken in the mapping goes into before its mark
  // (null: none is kept). Not owned.
  TakenLines* taken = nullptr;
};

// Opens `name` for reading and writing (close-on-exec) into view->fd.
// Returns 0 or errno. A symbolic link (ELOOP) and anything but a regular
// file (EINVAL; a FIFO or device never blocks the open) are refused, with
// `why` saying what was found.
int OpenArgFile(const char* name, ArgFileView* view, std::string* why);

// What happened to the mapped argument file since it was opened, or an
// empty text when nothing did: its size changed (the mapping would no
// longer match the file; touching the part past a shortened end is a
// SIGBUS), it was removed, or its name now names another file (marks would
// go to a file nobody reads). Looked at after every command. Empty for a
// null or unmapped view.
std::string ArgFileChange(const ArgFileView* view);

// Reads the whole mapped file through its descriptor into `copy`: private
// memory that no other process can change, the size of the mapping. Returns
// 0 or errno (EIO when the file's size no longer matches the mapping's).
int ReadArgFileCopy(const ArgFileView& view, std::string* copy);

// Reads the size of the open file. Returns 0 or errno.
int StatArgFile(const ArgFileView& view, size_t* size);

// Maps the whole file of `size` bytes shared and writable. Returns 0, or
// errno (EINVAL for an empty file, which cannot be mapped).
int MapArgFile(ArgFileView* view, size_t size);

// Releases the mapping (if any) and, when closeFd, the descriptors.
void ReleaseArgFile(ArgFileView* view, bool closeFd);

// Reads the basic parameters from the text [pFileView, end) with the package
// model (ReadBasicParams) and puts them into the run's globals: fills
// pFwPath, cFileList and uFileCnt and returns 0, or returns an error code
// (55 in autonomic mode for the failures after "FWPATH=" was found) with the
// list empty and pFwPath null, after the run's messages for it. pWorkPath
// replaces the package directory in autonomic mode. The diagnostics of "-d"
// go to `debugOutput`: the run passes its private duplicate of the caller's
// standard output (descriptors.h), since its own standard output is
// /dev/null by then; other callers may leave it at standard output. The
// suite's form without `end` keeps its two-argument signature: it reads a
// zero-terminated text and prints to standard output.
unsigned int ReadBasicParamsA(const void* pFileView, const char* end,
                              const char* pWorkPath,
                              FILE* debugOutput = stdout);
unsigned int ReadBasicParamsA(const void* pFileView, const char* pWorkPath);

// Marks a pending command line as taken up ("1") and flushes the page that
// holds the mark to disk when the line lies in `view`'s mapping (a null
// view, or a line outside it: the mark is only written),
// after adding the line to the mapping's record of taken lines, if it has
// one. Returns 0, or the errno of a failed flush: the mark may then not be
// on disk, and the command must not be started. A line the record could
// not take is reported and left unmarked, with that errno.
int MarkLineTaken(const ArgFileView* view, char* line);

#endif  // QUILLON_ARG_FILE_H_
