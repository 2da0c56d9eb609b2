#include "run_output.h"

#include <cstring>

#include "run_log.h"

const char kOutputFrameMark[] = "=== quillon ";

namespace {

std::string Head(std::string_view token, uint64_t offset, const char* kind) {
  std::string line = kOutputFrameMark;
  line.append(token);
  line += " @" + std::to_string(offset) + " " + kind + " ";
  return line;
}

// A frame line taken apart: what follows "<kind> ", up to its line feed.
struct Frame {
  std::string_view token, kind, rest;
};

bool IsHex(std::string_view text) {
  return text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// Takes a decimal number of up to 20 digits off the front of *text.
template <typename Number>
bool ReadNumber(std::string_view* text, Number* value) {
  size_t n = 0;
  unsigned long long v = 0;
  while (n < text->size() && (*text)[n] >= '0' && (*text)[n] <= '9' && n < 20)
    v = v * 10 + static_cast<unsigned>((*text)[n++] - '0');
  if (n == 0) return false;
  text->remove_prefix(n);
  *value = static_cast<Number>(v);
  return true;
}

// Takes `word` and the blank after it off the front of *text.
bool Take(std::string_view* text, std::string_view word) {
  if (text->substr(0, word.size()) != word) return false;
  text->remove_prefix(word.size());
  return true;
}

// Whether `line`, which begins at `offset`, is a frame line (see the
// header: the mark, a token, its own offset).
bool ReadFrame(std::string_view line, uint64_t offset, Frame* frame) {
  if (!Take(&line, kOutputFrameMark)) return false;
  frame->token = line.substr(0, kOutputTokenLength);
  if (frame->token.size() != kOutputTokenLength || !IsHex(frame->token))
    return false;
  line.remove_prefix(kOutputTokenLength);
  uint64_t at = 0;
  if (!Take(&line, " @") || !ReadNumber(&line, &at) || at != offset ||
      !Take(&line, " "))
    return false;
  size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return false;
  frame->kind = line.substr(0, blank);
  frame->rest = line.substr(blank + 1);
  return true;
}

bool ReadStamp(std::string_view* text, std::string* stamp) {
  if (text->size() < kLogTimeStampLength ||
      ParseLogStamp(text->data(), kLogTimeStampLength) < 0)
    return false;
  stamp->assign(text->substr(0, kLogTimeStampLength));
  text->remove_prefix(kLogTimeStampLength);
  return true;
}

// The three readers fill the frame's fields as they go: a frame that turns
// out not to be one is dropped whole by the caller.
bool ReadRun(std::string_view rest, OutputRun* run) {
  return ReadStamp(&rest, &run->stamp) && Take(&rest, " pid ") &&
         ReadNumber(&rest, &run->pid) && rest.empty();
}

bool ReadStart(std::string_view rest, OutputCommand* command) {
  if (!ReadStamp(&rest, &command->stamp) || !Take(&rest, " section "))
    return false;
  size_t blank = rest.find(' ');
  if (blank == std::string_view::npos) return false;
  command->section.assign(rest.substr(0, blank));
  rest.remove_prefix(blank);
  if (!Take(&rest, " line ") || !ReadNumber(&rest, &command->line) ||
      !Take(&rest, " pid ") || !ReadNumber(&rest, &command->shellPid) ||
      !Take(&rest, " cmd "))
    return false;
  command->command.assign(rest);
  return true;
}

bool ReadEnd(std::string_view rest, OutputEnd* end) {
  unsigned long long nl = 0;
  if (!ReadStamp(&rest, &end->stamp) || !Take(&rest, " rc ") ||
      !ReadNumber(&rest, &end->returnCode) || !Take(&rest, " ms ") ||
      !ReadNumber(&rest, &end->milliseconds) || !Take(&rest, " written ") ||
      !ReadNumber(&rest, &end->written) || !Take(&rest, " kept ") ||
      !ReadNumber(&rest, &end->kept) || !Take(&rest, " cut ") ||
      !ReadNumber(&rest, &end->cut) || !Take(&rest, " nl ") ||
      !ReadNumber(&rest, &nl) || nl > 1 || !rest.empty())
    return false;
  end->lineFeedAdded = nl == 1;
  return true;
}

}  // namespace

std::string OutputRunLine(std::string_view token, uint64_t offset,
                          std::string_view stamp, long pid) {
  std::string line = Head(token, offset, "run");
  line.append(stamp);
  return line + " pid " + std::to_string(pid) + "\n";
}

std::string OutputCutLine(std::string_view token, uint64_t offset,
                          uint64_t dropped) {
  return Head(token, offset, "cut") + std::to_string(dropped) +
         " bytes dropped\n";
}

std::string OutputEndLine(std::string_view token, uint64_t offset,
                          const OutputEnd& end) {
  std::string line = Head(token, offset, "end");
  line += end.stamp;
  line += " rc " + std::to_string(end.returnCode) + " ms " +
          std::to_string(end.milliseconds) + " written " +
          std::to_string(end.written) + " kept " + std::to_string(end.kept) +
          " cut " + std::to_string(end.cut) + " nl " +
          (end.lineFeedAdded ? "1" : "0") + "\n";
  return line;
}

OutputStartPieces OutputStartLine(std::string_view token,
                                  std::string_view stamp,
                                  std::string_view sectionKey,
                                  size_t lineNumber,
                                  std::string_view maskedCommand) {
  OutputStartPieces start;
  start.pieces[0] = kOutputFrameMark;
  start.pieces[0].append(token);
  start.pieces[0] += " @";
  start.pieces[1] = " start ";
  start.pieces[1].append(stamp);
  start.pieces[1] += " section ";
  start.pieces[1].append(sectionKey);
  start.pieces[1] += " line " + std::to_string(lineNumber) + " pid ";
  start.pieces[2] = " cmd ";
  // A line feed in the text would end the frame line early.
  for (char c : maskedCommand) start.pieces[2] += c == '\n' ? ' ' : c;
  start.pieces[2] += '\n';
  return start;
}

std::vector<OutputRun> ParseRunOutput(std::string_view text) {
  std::vector<OutputRun> runs;
  OutputCommand* open = nullptr;  // the command whose end line is awaited
  auto closeOpen = [&](size_t at) {
    if (open != nullptr) open->end = at;
    open = nullptr;
  };
  for (size_t at = 0; at < text.size();) {
    size_t lf = text.find('\n', at);
    size_t next = lf == std::string_view::npos ? text.size() : lf + 1;
    Frame frame;
    if (lf != std::string_view::npos &&
        ReadFrame(text.substr(at, lf - at), at, &frame)) {
      OutputRun* run = runs.empty() ? nullptr : &runs.back();
      const bool ours = run != nullptr && frame.token == run->token;
      OutputRun newRun;
      OutputCommand command;
      if (frame.kind == "run" && ReadRun(frame.rest, &newRun)) {
        closeOpen(at);
        newRun.at = at;
        newRun.token.assign(frame.token);
        runs.push_back(std::move(newRun));
      } else if (ours && frame.kind == "start" &&
                 ReadStart(frame.rest, &command)) {
        closeOpen(at);
        command.at = at;
        command.begin = command.end = next;
        run->commands.push_back(std::move(command));
        open = &run->commands.back();
      } else if (ours && open != nullptr && frame.kind == "end") {
        OutputEnd end;
        // The end line's own count of the bytes before it: an end line that
        // does not stand where it says is not this command's.
        if (ReadEnd(frame.rest, &end) && open->begin + end.kept == at &&
            (!end.lineFeedAdded || (at > open->begin && text[at - 1] == '\n'))) {
          open->ended = true;
          open->footer = end;
          open->end = at - (end.lineFeedAdded ? 1 : 0);
          open = nullptr;
        }
      }
    }
    at = next;
  }
  closeOpen(text.size());
  return runs;
}

std::string_view CommandOutput(std::string_view text,
                               const OutputCommand& command) {
  if (command.begin > command.end || command.end > text.size()) return {};
  return text.substr(command.begin, command.end - command.begin);
}
