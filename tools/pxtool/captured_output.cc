#include "captured_output.h"

#include <sys/stat.h>

#include "package_files.h"
#include "run_log.h"
#include "run_report.h"

namespace pxtool {

namespace {

// A file of the bound, and the head and tail a command may leave beyond
// it before the next command's start renames it.
const size_t kMaxOutputFileSize =
    static_cast<size_t>(kOutputFileBound + 2 * kOutputKeptPerCommand);

}  // namespace

std::vector<std::string_view> CapturedCommand::Tail(size_t lines) const {
  std::vector<std::string_view> tail;
  std::string_view rest = output;
  if (!rest.empty() && rest.back() == '\n') rest.remove_suffix(1);
  while (!rest.empty() && tail.size() < lines) {
    size_t feed = rest.rfind('\n');
    size_t begin = feed == std::string_view::npos ? 0 : feed + 1;
    tail.insert(tail.begin(), rest.substr(begin));
    rest = rest.substr(0, feed == std::string_view::npos ? 0 : feed);
  }
  return tail;
}

bool CapturedOutput::Read(const std::string& packageDir, std::string* error) {
  const char* names[] = {kRunOutputName, kRunOutputPreviousName};
  for (int i = 0; i < 2; ++i) {
    std::string path = packageDir + "/" + names[i];
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (!ReadPackageFile(path, kMaxOutputFileSize, packageDir, &files_[i].text,
                         error))
      return false;
    files_[i].runs = ParseRunOutput(files_[i].text);
  }
  return true;
}

bool CapturedOutput::Find(long long started, size_t line,
                          CapturedCommand* found) const {
  if (started < 0 || line == 0) return false;
  std::string stamp = FormatLogStamp(started);
  for (const File& file : files_) {
    std::vector<const OutputRun*> runs = RunsStartedAt(file.runs, stamp);
    for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
      const OutputCommand* command = CommandAtLine(**run, line);
      if (command == nullptr) continue;
      found->output = CommandOutput(file.text, *command);
      found->ended = command->ended;
      found->written = command->footer.written;
      found->cut = command->footer.cut;
      return true;
    }
  }
  return false;
}

}  // namespace pxtool
