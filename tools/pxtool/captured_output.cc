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
  // One index, so that a report of many runs looks each command up once:
  // the older file first, runs in order, so that the newest run holding a
  // line wins; within a run the first command of a line does.
  for (int i = 1; i >= 0; --i)
    for (const OutputRun& run : files_[i].runs)
      for (auto c = run.commands.rbegin(); c != run.commands.rend(); ++c)
        index_[Key(run.stamp, c->line)] = {&files_[i], &*c};
  return true;
}

std::string CapturedOutput::Key(const std::string& stamp, size_t line) {
  return stamp + "#" + std::to_string(line);
}

bool CapturedOutput::Find(long long started, size_t line,
                          CapturedCommand* found) const {
  if (started < 0 || line == 0) return false;
  auto at = index_.find(Key(FormatLogStamp(started), line));
  if (at == index_.end()) return false;
  const OutputCommand& command = *at->second.command;
  found->output = CommandOutput(at->second.file->text, command);
  found->ended = command.ended;
  found->written = command.footer.written;
  found->cut = command.footer.cut;
  return true;
}

}  // namespace pxtool
