// The record of taken lines: which lines of a signed package's argument
// file runs of Quillon have taken up, kept where only root can change it.
//
// The marks of the argument file ("1" in column 1, arg_file.h) are the
// run's progress record, but whoever carries or can write the file could
// set them too: mark the flags line before a failing check, and the check
// no longer aborts. So with a trust policy a run accepts a taken mark only
// where the signed manifest ships one (package_manifest.h) or where this
// record says that a run took the line (PackageCheck::CompareMarks).
//
// One file per signed package, named by the SHA-256 of its manifest
// (SHA256SUMS) and kept in the state directory, kStateDirectory
// ("/var/lib/quillon"): "<digest>.taken". The directory is made with mode
// 0700 by the first run that records a line; it and the records are used
// only when they belong to the effective user (root) and group and others
// cannot write them, and a record only when it is a regular file (no
// symbolic link is followed). The record is text:
//
//   quillon taken lines 1      the header, the format's version
//   4                          one line number (1 for the first) a line
//   17
//
// Every line ends with an LF. A last line without one is a record that a
// crash cut short: it is not read, and cut off before the next is added.
// Any other line that is not a number refuses the record.
//
// Durability: Add writes the line and flushes it to disk (fdatasync; a new
// record's directory entry too, and a new directory's in its parent)
// before it returns, so a line is in the record before its mark is written
// and survives a crash of the process and a power cut. A run killed
// between the two finds its line recorded and still pending, and takes it
// again. Forget replaces the record through a new file renamed over it, or
// removes it, and flushes the directory: a crash leaves the old record or
// the new one.
//
// Copies of one signed package share its record, whoever runs them;
// runs of two copies at once append to it under an flock.

#ifndef QUILLON_TAKEN_LINES_H_
#define QUILLON_TAKEN_LINES_H_

#include <cstddef>
#include <set>
#include <string>

extern const char kStateDirectory[];  // "/var/lib/quillon"

class TakenLines {
 public:
  // The records in the state directory `directory`.
  explicit TakenLines(std::string directory)
      : directory_(std::move(directory)) {}
  ~TakenLines();
  TakenLines(const TakenLines&) = delete;
  TakenLines& operator=(const TakenLines&) = delete;

  // Reads the record of the package whose manifest has the SHA-256
  // `manifestDigest` (64 hex digits). A missing directory or record is an
  // empty record. False with `why` ("<path>: <reason>") when the
  // directory or the record fails the rule above, cannot be read or is
  // damaged.
  bool Load(const std::string& manifestDigest, std::string* why);

  bool Has(size_t line) const { return lines_.count(line) != 0; }
  bool empty() const { return lines_.empty(); }
  // The record's path (after Load).
  const std::string& path() const { return path_; }

  // Adds `line` to the record read by Load, durably (see above); nothing
  // to do when it holds the line already. Returns 0, or errno with `why`
  // ("<path>: <reason>"): the line may then not be in the record, and its
  // mark must not be written.
  int Add(size_t line, std::string* why);

  // Removes `lines` from the record of the package whose manifest has
  // `manifestDigest` (every line when `lines` is null), and the record
  // itself once it holds none. A missing record is no failure. False with
  // `why` ("<path>: <reason>").
  bool Forget(const std::string& manifestDigest, const std::set<size_t>* lines,
              std::string* why);

 private:
  // Turns to the record of `manifestDigest`, with no line read yet, and
  // opens the state directory without making it: its descriptor, or -1
  // with `why` empty when it is missing, else saying why.
  int OpenDirectoryOf(const std::string& manifestDigest, std::string* why);
  // Opens the record for Add (creating the directory and the file),
  // cutting off a last line a crash left without its LF. Returns 0 or
  // errno with `why`.
  int OpenForAdding(std::string* why);
  void Close();

  std::string directory_;
  std::string name_;  // "<digest>.taken"
  std::string path_;  // directory_ + "/" + name_
  std::set<size_t> lines_;
  int dirFd_ = -1;  // while open for adding
  int fd_ = -1;
};

#endif  // QUILLON_TAKEN_LINES_H_
