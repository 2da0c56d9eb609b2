// Where a package stands, as the operators' tools (status, report, reset)
// see it: the status file of the latest stage, the section the last run
// used and how far it got in it. Whether a run holds the package is the run
// lock's to say (run_lock.h).
//
// Everything here only reads, except RearmSections, which changes a text in
// memory.

#ifndef TOOLS_PXTOOL_PACKAGE_STATE_H_
#define TOOLS_PXTOOL_PACKAGE_STATE_H_

#include <sys/types.h>

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "package_files.h"
#include "package_model.h"
#include "run_log_reader.h"
#include "run_outcome.h"
#include "status_file.h"

namespace pxtool {

// --- Files the run leaves -------------------------------------------------

const size_t kMaxStatusFileSize = 4096;
const size_t kMaxRunLogSize = size_t{1} << 30;

struct FoundStatusFile {
  std::string path;
  StatusFileContent content;
  long long mtimeNs = 0;
};

// The status file of the latest stage: HandlerStatus.txt in the working
// directory (where a run writes Status=3) and in the argument file's
// directory (where it writes its final status in classic mode), whichever
// was written last (modification time; the execution directory's on a
// tie). False with `error` naming the file when one cannot be read or is
// not a status file; true with `found` empty when there is none.
bool FindLatestStatusFile(const PackageLocation& where,
                          std::vector<FoundStatusFile>* found,
                          std::string* error);

// The command of a run that was killed, while it still runs: the process
// group that the record beside the status file names (command_group.h), in
// the argument file's directory, when that group still has a process.
// Returns its id, or 0 (no record, an unreadable one, or a group that has
// ended).
pid_t StillRunningCommand(const PackageLocation& where);

// Reads Quillon.log of the package directory. A missing log is an empty
// one; other failures are false with `error` naming the file.
bool ReadPackageRunLog(const PackageLocation& where, RunLog* log, std::string* error);

// --- The section and the progress in it ---------------------------------

// What a run's header says: its command line read as the run reads it.
struct LoggedMode {
  bool known = false;  // there was a header with arguments
  RunMode mode = RunMode::kForce;
  bool autonomic = false;
  ExternalValues values;
};
LoggedMode ModeOfRun(const LoggedRun& run);

struct ProgressLine {
  size_t number = 0;  // 1-based line of the argument file
  bool taken = false;
  std::string text;  // as the run log shows it: placeholders in, masked
  std::string resultField;  // columns 3 to 5 as they are
  bool flags = false;
};

struct SectionProgress {
  std::string key;  // "[Commands]", ...
  bool found = false;
  bool fallback = false;  // the expert fallback to [Commands]
  std::vector<ProgressLine> lines;  // taken and pending command lines
  size_t pending = 0, taken = 0;
  const ProgressLine* LastTaken() const;  // the last taken non-flags line
  const ProgressLine* Resume() const;     // the first pending line
};

// The taken and pending lines of the section a run in `mode` uses. A line
// is taken when it begins with "1" and has the six leading columns, pending
// when it begins with "0" and has them (what the walk hands the runner).
SectionProgress ReadProgress(const std::string& text, RunMode mode,
                             const ExternalValues& values);

// The section whose progress to show: the one the last run's log names
// (or its command line selects), else the first with taken lines, else
// [Commands].
SectionProgress ProgressOfLastRun(const std::string& text, const RunLog& log);

// The mode "[Commands]", "Commands", "[UpdCommands]", ... names; false for
// another key.
bool ModeOfSectionKey(const std::string& key, RunMode* mode);

// --- Re-arming ----------------------------------------------------------

// Gives every line of the sections of `modes` that carries a mark its
// shipped one again, in place: a taken line becomes pending (column 1 "1"
// becomes "0" and the result field "000") unless it is one of the lines
// `shippedTaken` (ascending), which are marked taken ("1") again when they
// are not. No other byte changes (line ends included). Each section is the
// one a run of that mode walks (the first occurrence of its key; no expert
// fallback). Returns the number of lines changed; `missing` receives the
// keys not found, `lines` the numbers of the sections' lines.
size_t RearmSections(std::string* text, const std::vector<RunMode>& modes,
                     const std::vector<size_t>& shippedTaken,
                     std::vector<std::string>* missing, std::set<size_t>* lines);

}  // namespace pxtool

#endif  // TOOLS_PXTOOL_PACKAGE_STATE_H_
