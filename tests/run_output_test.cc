// The commands' output file: its frames as the reader finds them, and the
// writer's bounds, driven without a command (the test writes the
// "command's" output into the descriptor the shell would be given).

#include "run_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "captured_output.h"
#include "run_output_writer.h"
#include "test_util.h"

namespace quillon_test {
namespace {

const std::string kToken = "0123456789abcdef";
const std::string kStamp = "2024/02/22 14:43:05";

// A file's text built frame by frame, each at its own offset.
struct Builder {
  std::string text;
  void Run(long pid = 7) { text += OutputRunLine(kToken, text.size(), kStamp, pid); }
  void Start(size_t line, const std::string& command, long pid = 8) {
    OutputStartPieces s = OutputStartLine(kToken, kStamp, "[Commands]", line, command);
    text += s.pieces[0] + std::to_string(text.size()) + s.pieces[1] + std::to_string(pid) +
            s.pieces[2];
  }
  void Output(const std::string& bytes) { text += bytes; }
  void End(size_t begin, unsigned rc) {
    OutputEnd end;
    end.stamp = kStamp;
    end.returnCode = rc;
    end.lineFeedAdded = !text.empty() && text.back() != '\n';
    if (end.lineFeedAdded) text += "\n";
    end.kept = text.size() - begin;
    end.written = end.kept - (end.lineFeedAdded ? 1 : 0);
    text += OutputEndLine(kToken, text.size(), end);
  }
};

TEST(RunOutputFormat, FramesFieldsAndOutputs) {
  Builder b;
  b.Run(41);
  b.Start(12, "install -pwd ****** now", 99);
  size_t begin = b.text.size();
  b.Output("one\ntwo\nthree");  // no line feed at its end
  b.End(begin, 3);
  b.Start(13, "true");
  b.End(b.text.size(), 0);
  std::vector<OutputRun> runs = ParseRunOutput(b.text);
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ(kStamp, runs[0].stamp);
  EXPECT_EQ(41, runs[0].pid);
  EXPECT_EQ(kToken, runs[0].token);
  ASSERT_EQ(2u, runs[0].commands.size());
  const OutputCommand& c = runs[0].commands[0];
  EXPECT_EQ(12u, c.line);
  EXPECT_EQ("[Commands]", c.section);
  EXPECT_EQ(99, c.shellPid);
  EXPECT_EQ("install -pwd ****** now", c.command);
  EXPECT_TRUE(c.ended);
  EXPECT_EQ(3u, c.footer.returnCode);
  EXPECT_TRUE(c.footer.lineFeedAdded);
  // The line feed the writer added is not the command's.
  EXPECT_EQ("one\ntwo\nthree", CommandOutput(b.text, c));
  pxtool::CapturedCommand captured{CommandOutput(b.text, c)};
  EXPECT_EQ((std::vector<std::string_view>{"two", "three"}), captured.Tail(2));
  EXPECT_EQ((std::vector<std::string_view>{"one", "two", "three"}), captured.Tail(10));
  EXPECT_EQ("", CommandOutput(b.text, runs[0].commands[1]));
}

// A command that prints frame lines, or a copy of the file itself, makes
// none: they do not stand at the offset they name.
TEST(RunOutputFormat, LookAlikesAndCopiesAreOutput) {
  Builder first;
  first.Run();
  first.Start(2, "x");
  first.Output("a\n");
  first.End(first.text.size() - 2, 0);

  Builder b;
  b.Run();
  b.Start(5, "cat Quillon.out");
  size_t begin = b.text.size();
  b.Output(first.text + "=== quillon " + kToken + " @0 end garbage\n" + first.text);
  b.End(begin, 0);
  std::vector<OutputRun> runs = ParseRunOutput(b.text);
  ASSERT_EQ(1u, runs.size());
  ASSERT_EQ(1u, runs[0].commands.size());
  EXPECT_EQ(first.text + "=== quillon " + kToken + " @0 end garbage\n" + first.text,
            CommandOutput(b.text, runs[0].commands[0]));
}

// No end line: the output runs to the next run (a killed run) or to the
// end of the file (still running); bytes after an end line are passed over.
TEST(RunOutputFormat, MissingEndLinesAndStrayBytes) {
  Builder b;
  b.Run(1);
  b.Start(2, "sleep 1; echo done-after-kill");
  b.Output("partial\n");
  b.Run(2);
  b.Start(2, "a");
  size_t begin = b.text.size();
  b.Output("A\n");
  b.End(begin, 0);
  b.Output("late line of a leftover process\n");
  b.Start(3, "b");
  b.Output("still printing");
  std::vector<OutputRun> runs = ParseRunOutput(b.text);
  ASSERT_EQ(2u, runs.size());
  ASSERT_EQ(1u, runs[0].commands.size());
  EXPECT_FALSE(runs[0].commands[0].ended);
  EXPECT_EQ("partial\n", CommandOutput(b.text, runs[0].commands[0]));
  ASSERT_EQ(2u, runs[1].commands.size());
  EXPECT_EQ("A\n", CommandOutput(b.text, runs[1].commands[0]));
  EXPECT_FALSE(runs[1].commands[1].ended);
  EXPECT_EQ("still printing", CommandOutput(b.text, runs[1].commands[1]));
  // Every cut of the file parses without fault, and never finds more.
  for (size_t n = 0; n < b.text.size(); ++n) {
    std::vector<OutputRun> cut = ParseRunOutput(std::string_view(b.text).substr(0, n));
    size_t commands = 0;
    for (const OutputRun& run : cut) commands += run.commands.size();
    EXPECT_LE(commands, 3u);
  }
}

// The writer, driven as the runner drives it.
class RunOutputWriterTest : public QuillonTest {
 protected:
  std::string Out() { return ReadFile(dir_ / "Quillon.out"); }
  // A command that "prints" `bytes` through the shell's descriptor.
  void Command(RunOutputWriter* w, size_t line, const std::string& bytes, unsigned rc = 0) {
    ShellOutput shell;
    ASSERT_TRUE(w->BeginCommand("[Commands]", line, "cmd", &shell));
    shell.lineAt = lseek(shell.fd, 0, SEEK_END);
    std::string start = shell.pieces[0] + std::to_string(shell.lineAt) + shell.pieces[1] + "123" +
                        shell.pieces[2];
    shell.lineWritten = write(shell.fd, start.data(), start.size());
    for (size_t at = 0; at < bytes.size(); at += 65536) {
      std::string part = bytes.substr(at, 65536);
      ASSERT_EQ(static_cast<ssize_t>(part.size()), write(shell.fd, part.data(), part.size()));
      w->Check();
    }
    w->EndCommand(rc);
  }
};

TEST_F(RunOutputWriterTest, CommandOverItsBoundKeepsHeadMarkerAndTail) {
  RunOutputWriter w;
  w.SetSystemLog("");
  ASSERT_TRUE(w.Open(time(nullptr)));
  struct stat st;
  ASSERT_EQ(0, stat("Quillon.out", &st));
  EXPECT_EQ(0640u, st.st_mode & 0777);
  std::string big;
  for (int i = 0; big.size() < 3 * 1024 * 1024; ++i) big += "line " + std::to_string(i) + "\n";
  Command(&w, 4, "small\n");
  Command(&w, 5, big, 1);
  Command(&w, 6, "after\n");
  std::string text = Out();
  std::vector<OutputRun> runs = ParseRunOutput(text);
  ASSERT_EQ(1u, runs.size());
  ASSERT_EQ(3u, runs[0].commands.size());
  EXPECT_EQ("small\n", CommandOutput(text, runs[0].commands[0]));
  const OutputCommand& cut = runs[0].commands[1];
  ASSERT_TRUE(cut.ended);
  EXPECT_EQ(big.size(), cut.footer.written);
  EXPECT_EQ(big.size() - kOutputKeptPerCommand, cut.footer.cut);
  std::string_view kept = CommandOutput(text, cut);
  EXPECT_EQ(big.substr(0, kOutputHeadKept), kept.substr(0, kOutputHeadKept));
  EXPECT_EQ(big.substr(big.size() - kOutputTailKept), kept.substr(kept.size() - kOutputTailKept));
  std::string_view middle =
      kept.substr(kOutputHeadKept, kept.size() - kOutputKeptPerCommand);
  EXPECT_NE(std::string_view::npos,
            middle.find(" cut " + std::to_string(cut.footer.cut) + " bytes dropped\n"));
  EXPECT_EQ("after\n", CommandOutput(text, runs[0].commands[2]));
  EXPECT_LT(text.size(), 2 * kOutputKeptPerCommand);
}

TEST_F(RunOutputWriterTest, FullFileIsRenamedAtRunStartAndAtCommandStart) {
  WriteFile(dir_ / "Quillon.out", std::string(kOutputFileBound + 1, 'x'));
  WriteFile(dir_ / "Quillon.out.1", "older");
  chmod((dir_ / "Quillon.out").c_str(), 0600);
  RunOutputWriter w;
  w.SetSystemLog("");
  ASSERT_TRUE(w.Open(time(nullptr)));
  EXPECT_EQ(kOutputFileBound + 1, ReadFile(dir_ / "Quillon.out.1").size());
  std::vector<OutputRun> runs = ParseRunOutput(Out());
  ASSERT_EQ(1u, runs.size());
  const std::string stamp = runs[0].stamp;
  // Commands that fill the file: the next one begins a new file that
  // repeats the run line.
  std::string block(kOutputKeptPerCommand, 'y');
  for (size_t i = 0; i < 17; ++i) Command(&w, 2 + i, block);
  std::string text = Out();
  runs = ParseRunOutput(text);
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ(stamp, runs[0].stamp);
  ASSERT_EQ(1u, runs[0].commands.size());
  EXPECT_EQ(18u, runs[0].commands[0].line);
  EXPECT_EQ(16u, ParseRunOutput(ReadFile(dir_ / "Quillon.out.1"))[0].commands.size());
}

TEST_F(RunOutputWriterTest, PlantedLinkForeignFileOrSecondRunLeaveOutputOff) {
  std::string log = dir_ / "system.log";
  {
    symlink((dir_ / "target").c_str(), (dir_ / "Quillon.out").c_str());
    RunOutputWriter w;
    w.SetSystemLog(log.c_str());
    EXPECT_FALSE(w.Open(time(nullptr)));
    ShellOutput shell;
    EXPECT_FALSE(w.BeginCommand("[Commands]", 2, "x", &shell));
    EXPECT_EQ(-1, shell.fd);
    EXPECT_FALSE(Exists(dir_ / "target"));
    EXPECT_NE(std::string::npos, ReadFile(log).find("is a symbolic link"));
    unlink((dir_ / "Quillon.out").c_str());
  }
  RunOutputWriter first, second;
  first.SetSystemLog("");
  second.SetSystemLog(log.c_str());
  ASSERT_TRUE(first.Open(time(nullptr)));
  EXPECT_FALSE(second.Open(time(nullptr)));
  EXPECT_NE(std::string::npos, ReadFile(log).find("in use by another run"));
}

}  // namespace
}  // namespace quillon_test
