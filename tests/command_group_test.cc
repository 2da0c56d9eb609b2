// The record of a command's process group: written by the process itself,
// read back, and whether the group it names still runs.

#include "command_group.h"

#include <signal.h>

#include "test_util.h"

namespace quillon_test {
namespace {

// Runs `script` through sh in a group of its own and returns the group's
// record; with `ended`, once the shell has ended (a zombie: not reaped).
CommandGroup StartGroup(const char* script, bool ended) {
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    execl("/bin/sh", "sh", "-c", script, static_cast<char*>(nullptr));
    _exit(127);
  }
  setpgid(pid, pid);
  CommandGroup group;
  group.pid = pid;
  EXPECT_TRUE(ReadProcessStartTime(pid, &group.startTime));
  group.bootId = ReadBootId();
  siginfo_t info;
  if (ended) waitid(P_PID, pid, &info, WEXITED | WNOWAIT);
  return group;
}

// Kills the group and waits (5 s at most) until the kernel has ended all of
// it: a killed member the shell started may take a moment to go.
void EndGroup(const CommandGroup& group) {
  kill(-group.pid, SIGKILL);
  waitpid(group.pid, nullptr, 0);
  for (int i = 0; i < 500 && CommandGroupRuns(group); ++i) usleep(10000);
}

TEST(CommandGroupTest, RecordNamesTheGroupOnlyWhileItRuns) {
  CommandGroup running = StartGroup("sleep 30", false);
  EXPECT_TRUE(CommandGroupRuns(running));
  CommandGroup reused = running, otherBoot = running;
  ++reused.startTime;  // the id given to a later process
  otherBoot.bootId = "00000000-0000-0000-0000-000000000000";
  EXPECT_FALSE(CommandGroupRuns(reused));
  EXPECT_FALSE(CommandGroupRuns(otherBoot));
  EndGroup(running);
  EXPECT_FALSE(CommandGroupRuns(running));

  CommandGroup zombie = StartGroup("exit 0", true);  // nobody reaped it
  EXPECT_FALSE(CommandGroupRuns(zombie));
  EndGroup(zombie);

  // The shell ended, what it started goes on; once killed, it is handed to
  // init (or another reaper) and goes.
  CommandGroup orphans = StartGroup("sleep 30 & exit 0", true);
  EXPECT_TRUE(CommandGroupRuns(orphans));
  EndGroup(orphans);
  EXPECT_FALSE(CommandGroupRuns(orphans));
}

TEST(CommandGroupTest, ProcessRecordsItselfNeverThroughAPlantedLink) {
  ScopedTempDir dir;
  std::string path = dir / "Quillon.pgrp", victim = dir / "victim";
  WriteFile(victim, "keep");
  ASSERT_EQ(0, symlink(victim.c_str(), path.c_str()));
  std::string boot = ReadBootId();
  pid_t child = fork();
  if (child == 0) _exit(RecordOwnGroup(path.c_str(), boot.c_str()));
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ("keep", ReadFile(victim));
  CommandGroup group;
  ASSERT_TRUE(ReadGroupRecord(path.c_str(), &group));
  EXPECT_EQ(child, group.pid);
  EXPECT_EQ(boot, group.bootId);
  struct stat st;
  ASSERT_EQ(0, lstat(path.c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 07777);
  std::string text = ReadFile(path);
  EXPECT_FALSE(ParseCommandGroup(text.substr(0, text.size() - 4), &group));  // cut short
}

}  // namespace
}  // namespace quillon_test
