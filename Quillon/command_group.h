// The process group of the command that runs, recorded on disk while it
// runs, so that a run started after Quillon was killed never starts a
// command beside one of the killed run's.
//
// Every command (and the reboot program) runs in a process group of its
// own, led by its shell (shell.h). Before the shell may start the command,
// the run writes which group that is into "Quillon.pgrp" in the current
// directory, beside the status file; once the group is done it removes the
// file. A run killed with SIGKILL leaves the file behind, and its command
// may go on running: the next run finds the file and waits for that group
// to end before it starts a command of its own (see run.h). It never kills
// the group: a command cut off half way (a firmware flash) is worse than
// one waited for.
//
// The file, text without a line feed at the end:
//   Pgrp=<process id of the shell, which is the group's id>
//   Start=<that process's start time: field 22 of /proc/<pid>/stat, clock
//          ticks after boot>
//   Boot=<the kernel's boot id, /proc/sys/kernel/random/boot_id>
// Process ids are reused, and start over after a reboot: the start time and
// the boot id tell the command's process from a later one with its id.
//
// Crash behaviour: the shell's own process writes the record, before it
// executes the shell (see shell.h), so a command never runs unrecorded,
// wherever Quillon is killed. The record is created exclusively (mode 0644,
// never through a link or a file planted at its name). It is not flushed to
// disk: it only matters while the machine runs, since a power cut or a
// crash of the machine ends every group, and the page cache outlives a
// killed process. A record that outlives a reboot is told apart by its
// boot id and ignored.

#ifndef QUILLON_COMMAND_GROUP_H_
#define QUILLON_COMMAND_GROUP_H_

#include <sys/types.h>

#include <string>

const char kGroupRecordName[] = "Quillon.pgrp";

struct CommandGroup {
  pid_t pid = 0;                     // the shell, the group's leader
  unsigned long long startTime = 0;  // the shell's start time
  std::string bootId;                // the boot it started in
};

// The record's text, and the record read back from it: false for a text
// that is not a whole record.
std::string FormatCommandGroup(const CommandGroup& group);
bool ParseCommandGroup(const std::string& text, CommandGroup* group);

// Writes the record of the calling process, which leads its own group, at
// `path`: its id, its start time and `bootId`. A file left at the name is
// removed first, never written through. Makes system calls only (no
// allocation, no stdio): the shell's process calls it between its creation
// and the execution of the shell, sharing Quillon's memory. Returns 0 or
// the errno of the failing call.
int RecordOwnGroup(const char* path, const char* bootId);

// This boot's id, empty when it cannot be read.
std::string ReadBootId();

// The start time of process `pid` (field 22 of /proc/<pid>/stat); false
// when there is no such process.
bool ReadProcessStartTime(pid_t pid, unsigned long long* startTime);

// Whether the recorded group still has a process that is not a zombie, on
// this boot. Its leader counts while it has the recorded start time (a
// process with its id and another start time means the group has ended: an
// id is not handed out again while a group of that number has members).
// With the leader gone or a zombie, its other members are looked for.
bool CommandGroupRuns(const CommandGroup& group);

// Reads the record at `path` when it is a regular file of this user's own
// with one link (a file planted by someone else must not hold a run up);
// false when there is none or it is not a record.
bool ReadGroupRecord(const char* path, CommandGroup* group);

#endif  // QUILLON_COMMAND_GROUP_H_
