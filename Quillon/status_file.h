// The status file "HandlerStatus.txt": its names, its content and the three
// ways it is written. The run writes it (run_status.h says when and what it
// reports); pxtool reads it back with ParseStatusFile. Nothing here reports
// or touches the run's globals: every function returns what happened.
//
// Content: "Status=<n>\nRetval=<r>" (kStatusFileLayout), both in signed
// decimal, without a line feed at the end. The status tells the caller how
// far the run got: 3 once the run has started, 4 once a reboot was
// requested (and from then on for the rest of the run), 5 when the run has
// ended. The return value is the run's 32-bit value.
//
// Durability: ReplaceStatusFile replaces the file atomically. The new
// content is written to "HandlerStatus.txt.new" in the same directory
// (created exclusively, mode 0644, never through a link or a planted file),
// flushed to disk, and renamed over the old file; the directory is flushed
// too. A crash or power cut at any moment therefore leaves either the old or
// the new content, never an empty or torn file.
//
// When that fails (a full disk, a directory that takes no new file), the
// old file can be rewritten in place and flushed (RewriteStatusFileInPlace):
// overwriting its few bytes needs no new block. Only a regular file of this
// user with one link is written so. A crash during that rewrite may leave it
// torn; it is the last resort. When even that fails, the caller removes the
// old file (RemoveStatusFile), so that it never shows an earlier stage or an
// earlier run's result as the current one.
//
// The writers work in the current directory, need no memory (only a
// refusal's reason is a string) and never raise but std::bad_alloc for that
// reason, so that a run that ran out of memory still ends with its status.

#ifndef QUILLON_STATUS_FILE_H_
#define QUILLON_STATUS_FILE_H_

#include <cstddef>
#include <string>

extern const char kStatusFileName[];  // "HandlerStatus.txt"
extern const char kStatusTempName[];  // the new content before its rename

// The content's layout, a printf format of the status and the return value.
extern const char kStatusFileLayout[];  // "Status=%d\nRetval=%d"

// The content for `status` and `ret`, formatted into `text`.
const size_t kStatusTextSize = 64;
const char* FormatStatusFile(int status, int ret,
                             char (&text)[kStatusTextSize]);

struct StatusFileContent {
  int status = 0;
  int retval = 0;
};

// Reads a status file's content: the layout above, where a CR before a line
// feed and a final line feed are accepted too. False with `error` saying
// what is wrong ("no \"Status=<number>\" line first", ...) when the text is
// not a status file. Never reads past `text`.
bool ParseStatusFile(const std::string& text, StatusFileContent* content,
                     std::string* error);

// Writes `text` beside the status file and renames it over the old one. A
// stale or planted temporary name is removed first (never written through).
// Returns 0, or the errno of the failure with the old file untouched and no
// temporary left; `why` then says what was refused, when something was.
// `syncError` receives the errno of flushing the directory after the rename
// (0 when it was flushed): the new content is in place, but may not survive
// a power cut.
int ReplaceStatusFile(const char* text, int* syncError, std::string* why);

// Rewrites the status file in place with `text`, or creates it when there is
// none. Returns 0, or the errno of the failure with `why` saying what was
// refused (a link or a planted file), when something was.
int RewriteStatusFileInPlace(const char* text, std::string* why);

// Removes the status file; whether it was removed.
bool RemoveStatusFile();

#endif  // QUILLON_STATUS_FILE_H_
