// CProcess: the suite's process utilities for Linux. Working directory,
// process information read from /proc, and starting and stopping programs.
// Every operation is static, keeps no state, writes no message and reports
// failure through its result; nothing throws on its own.
//
// Process ids are unsigned int in the public operations. A value that reads
// as negative as a pid_t (0xFFFFFFFF, which FindProcess reports for a name
// not found and the start operations for a failed fork) or 0 is never a
// process id: the operations that signal or wait refuse it, so none of them
// ever acts on a process group.
//
// The directory and /proc half lives in process.cc, the execution half in
// process_exec.cc.

#ifndef INCLUDE_LINUX_PROCESS_H_
#define INCLUDE_LINUX_PROCESS_H_

#include <sys/types.h>

#include <cstddef>
#include <string>

class CProcess {
 public:
  // Unit of a memory figure; each step is a factor of 1024.
  enum unit { B = 0, KB = 1, MB = 2, GB = 3 };
  // The timeout value that stands for an unlimited wait. Every wait is
  // unlimited on Linux whatever timeout is given.
  static const unsigned int PROCESS_WAIT_INFINITE = 0xFFFFFFFF;

  // --- Working directory ---------------------------------------------------

  // On success `current_directory` holds the absolute working directory.
  // On failure (directory removed, name longer than 4096 bytes) it is left
  // as it was.
  static bool GetCurrentDir(std::string& current_directory);
  // The same into a buffer, without allocating: what reports a lack of
  // memory can use it. On failure `buffer` holds "".
  static constexpr size_t kCurrentDirSize = 4097;
  static bool GetCurrentDir(char (&buffer)[kCurrentDirSize]);
  // Changes the working directory of the whole process. Null and empty
  // names return false and change nothing. Allocates nothing.
  static bool SetCurrentDir(const char* working_directory);

  // --- Process information from /proc ---------------------------------------
  // Outputs are assigned only on success unless stated otherwise.

  // The short name the kernel records for the process ("comm", at most 15
  // characters, no newline).
  static bool GetProcessName(std::string& process_name, unsigned int pid_id);
  // The path of the process's executable (the "exe" link).
  static bool GetProcessPath(std::string& process_exec_path,
                             unsigned int pid_id);
  // Both of the above; both always run. True when both succeeded.
  static bool GetProcessInfo(unsigned int pid_id, std::string& process_name,
                             std::string& process_exec_path);
  // The first process, in /proc directory order, whose short name equals
  // `process_name` exactly. Always sets `pid_id`: 0xFFFFFFFF when none is
  // found. Names longer than 15 characters never match (the kernel cuts
  // the short name).
  static bool FindProcess(unsigned int& pid_id, const char* process_name);
  // Reads the first line of /proc/<pid>/status whose first word is
  // `command` (with its colon, e.g. "VmRSS:") into `*usage` in bytes, then
  // divides `*usage` by 1024 per step of `format`. Reading stops at the
  // first match. When nothing matches (no such process or field), the
  // prior value of `*usage` is scaled, so callers set it to 0 first.
  // A null `usage` is ignored.
  static void GetProcessMemorySpecificInfo(unsigned int pid_id,
                                           size_t* usage,
                                           std::string command, unit format);
  // The calling process's resident memory in kilobytes, the figure that
  // "VmRSS:" shows, read from /proc/self/statm: one short read, no
  // allocation, about half the cost of scanning the status file. 0 when it
  // cannot be read.
  static size_t GetOwnResidentKilobytes();
  // Zeroes all five outputs, then fills (in bytes) peak from "VmPeak:",
  // current from "VmSize:", current page file from "VmSwap:", private as
  // "VmSize:" minus "VmLib:"; the peak page file stays 0. True when peak
  // and current are both non-zero (false for a missing process or a kernel
  // thread). Null outputs are skipped.
  static bool GetProcessMemoryInfo(unsigned int pid_id,
                                   size_t* current_memory_usage,
                                   size_t* peak_memory_usage,
                                   size_t* current_page_file_usage,
                                   size_t* peak_page_file_usage,
                                   size_t* private_usage);
  // Linux has no handle count: sets `dwHandleCount` to 1, returns false.
  static bool GetProcessHandleCount(unsigned int Pid,
                                    unsigned int& dwHandleCount);
  // The calling process's id and its parent's id.
  static unsigned int GetCurrentProcessId();
  static unsigned int GetParentProcessId();

  // --- Process execution ----------------------------------------------------
  // The command line is split at white space with no quoting or escaping
  // (see split_arguments) and started without a shell; a first word without
  // a slash is searched for in PATH. `show_window` has no effect.
  // `inheritHandles` false closes every descriptor above 2 in the child.
  //
  // When `working_directory` is not null the whole calling process moves
  // there for the start (and, for the waiting forms, until the child has
  // ended) and moves back afterwards; if the current directory cannot be
  // read or the move fails, nothing is started and `pid_id` and
  // `exit_code` are not written. Failing to move back makes the result
  // false.
  //
  // `exit_code` is the child's exit status 0-255, or 0xFFFFFFFF when there
  // is none (not waited for, ended by a signal, wait failed, fork failed).
  // A program that cannot be executed ends the child with status 255.
  // A null `command_line` returns false and writes nothing.

  // Starts and waits. True when the child exited with status 0 and the
  // working directory was restored.
  static bool ExecuteCmd(const char* command_line, unsigned int& pid_id,
                         unsigned int& exit_code,
                         const char* working_directory, bool show_window,
                         bool inheritHandles);
  static bool ExecuteCmd(const char* command_line,
                         const char* working_directory, bool show_window,
                         bool inheritHandles);
  // Starts and returns at once. True when the child was created (even if
  // its program then cannot be executed) and the working directory was
  // restored. The caller owns the child and reaps it with WaitForExit.
  static bool ExecuteCmdAsync(const char* command_line, unsigned int& pid_id,
                              const char* working_directory, bool show_window,
                              bool inheritHandles);
  static bool ExecuteCmdAsync(const char* command_line,
                              const char* working_directory, bool show_window,
                              bool inheritHandles);
  // Waits without limit (`wait_timeout` is ignored) for the child `pid_id`
  // and reaps it. `exit_code` as above; true when the exit status is 0.
  // Process id 0 and ids negative as pid_t return false at once.
  static bool WaitForExit(unsigned int pid_id, unsigned int& exit_code,
                          unsigned int wait_timeout);
  // Sends SIGKILL to `pid_id`; true when the signal was delivered.
  // `exit_code` has no effect. Process id 0 and ids negative as pid_t
  // return false without sending anything.
  static bool TerminateProcess(unsigned int pid_id, unsigned int exit_code);

 private:
  // "/proc/<pid>/<name>", the pid written as a signed int.
  static std::string get_proc_file_name(pid_t pid, const char* name);
  // Reads the first line (without its newline) of /proc/<pid>/<file_name>
  // into `file_content`; false and unchanged when the file cannot be opened.
  static bool get_proc_file(pid_t pid_id, const char* file_name,
                            std::string& file_content);
  static bool get_process_name_by_id(pid_t pid, std::string& process_name);
  // The first matching pid, or -1.
  static pid_t find_process_by_name(const char* process_name);
  // The common body of the four start operations.
  static bool execute_command(const char* command_line, unsigned int& pid_id,
                              unsigned int& exit_code,
                              const char* working_directory, bool show_window,
                              bool inheritHandles, bool async);
};

// --- Free functions of the module --------------------------------------------

// The working directory, or "" when it cannot be read or is longer than
// 4096 bytes.
std::string get_current_directory();
// chdir to `current_dir`; "" returns false without a change.
bool set_working_directory(const std::string& current_dir);
// True when `pid_id` can name a single process: neither 0 nor negative as
// a pid_t. Given to waitpid or kill, the other values would mean any child,
// a process group or every process.
bool is_single_process_id(unsigned int pid_id);

#endif  // INCLUDE_LINUX_PROCESS_H_
