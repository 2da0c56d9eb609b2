// CProcess, second half: starting programs without a shell, waiting for
// them and killing them.
//
// A child between fork and exec may only make async-signal-safe calls: the
// parent could hold a lock of the allocator or of stdio at the moment of the
// fork (another thread, or a signal handler). So fork_process prepares every
// byte the child needs before forking: the argument table, the list of
// paths the PATH search will try, the argument table for the shell fallback,
// the signal set and the descriptor limit. The child then only closes
// descriptors, changes its signal mask, calls execve and ends with _exit.

#include "process.h"

#include <errno.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <sstream>
#include <vector>

extern char** environ;

namespace {

// The exit status of a child whose program could not be executed.
const int kExecFailedStatus = 255;
const unsigned int kNoExitCode = 0xFFFFFFFF;
const unsigned int kNoProcessId = 0xFFFFFFFF;

// What the child needs to run `arguments_table[0]` the way execvp would,
// all of it allocated before the fork.
struct ExecPlan {
  // The paths to try in order: the program itself when its name has a
  // slash, else one per PATH element (an empty element meaning the current
  // directory). Empty for an empty program name.
  std::vector<std::string> candidates;
  // A file that exists but has no executable format is run by /bin/sh as
  // a script, as execvp does: "/bin/sh", the file, the other arguments.
  // Slot 1 is filled in by the child with the candidate that failed.
  std::vector<char*> shell_table;
};

ExecPlan plan_exec(char* const* arguments_table) {
  ExecPlan plan;
  const char* program = arguments_table[0];
  if (*program == '\0') return plan;

  std::string name(program);
  if (name.find('/') != std::string::npos) {
    plan.candidates.push_back(name);
  } else {
    // execvp's search path when PATH is not set.
    const char* path = getenv("PATH");
    std::string search = path != nullptr ? path : "/bin:/usr/bin";
    size_t begin = 0;
    for (;;) {
      size_t end = search.find(':', begin);
      std::string dir = search.substr(
          begin, end == std::string::npos ? std::string::npos : end - begin);
      plan.candidates.push_back(dir.empty() ? name : dir + "/" + name);
      if (end == std::string::npos) break;
      begin = end + 1;
    }
  }

  static char shell[] = "/bin/sh";
  plan.shell_table.push_back(shell);
  plan.shell_table.push_back(nullptr);  // the script, set in the child
  for (char* const* arg = arguments_table + 1; *arg != nullptr; ++arg) {
    plan.shell_table.push_back(*arg);
  }
  plan.shell_table.push_back(nullptr);
  return plan;
}

// Whether the PATH search goes on to the next candidate after execve failed
// with `error` (the file is missing or not accessible there); any other
// error ends the search, as with execvp.
bool try_next_candidate(int error) {
  return error == ENOENT || error == EACCES || error == ENOTDIR ||
         error == ESTALE || error == ENODEV || error == ETIMEDOUT;
}

// The highest descriptor number plus one that the child closes up to when
// the kernel cannot close a range at once.
long max_descriptors() {
  long max_fds = sysconf(_SC_OPEN_MAX);
  return max_fds <= 255 ? 1024 : max_fds;
}

// Runs in the child: async-signal-safe calls only, never returns.
[[noreturn]] void run_child(char* const* arguments_table, ExecPlan& plan,
                            const std::vector<char*>& candidate_table,
                            const sigset_t& sigs_to_unblock, long max_fds,
                            bool inheritHandles) {
  if (!inheritHandles) {
    // close_range also catches descriptors above the current limit; older
    // kernels lack it and get one close per number.
    if (syscall(SYS_close_range, 3U, UINT_MAX, 0U) != 0) {
      for (long fd = 3; fd < max_fds; ++fd) close(static_cast<int>(fd));
    }
  }
  sigprocmask(SIG_UNBLOCK, &sigs_to_unblock, nullptr);
  for (char* candidate : candidate_table) {
    if (candidate == nullptr) break;
    execve(candidate, arguments_table, environ);
    int error = errno;
    if (error == ENOEXEC) {
      plan.shell_table[1] = candidate;
      execve(plan.shell_table[0], plan.shell_table.data(), environ);
      break;
    }
    if (!try_next_candidate(error)) break;
  }
  // _exit, not exit: the child must not run the parent's exit handlers or
  // flush the parent's stdio buffers a second time.
  _exit(kExecFailedStatus);
}

// Appends the white-space separated words of `pCmdLine` to `arguments`.
// No quoting, no escaping. A line ending in white space gets one more,
// empty, argument; an empty or all-blank line gives exactly one empty
// argument. A null line appends nothing.
void split_arguments(const char* pCmdLine,
                     std::vector<std::string>& arguments) {
  if (pCmdLine == nullptr) return;
  std::istringstream stream(pCmdLine);
  while (stream.good()) {
    std::string word;
    stream >> word;
    arguments.push_back(word);
  }
}

// The argument table for execv: one pointer per element of `arguments`,
// pointing at its characters, then a null pointer. The pointers stay valid
// as long as `arguments` is neither changed nor destroyed.
std::vector<char*> getArgumentsVTable(std::vector<std::string>& arguments) {
  std::vector<char*> table;
  table.reserve(arguments.size() + 1);
  for (std::string& argument : arguments) table.push_back(argument.data());
  table.push_back(nullptr);
  return table;
}

// Remembers the current directory and moves to `pWorkingDir`. Returns the
// remembered directory, or "" (and no move) when the current directory
// cannot be read or the move fails.
std::string set_current_working_directory(const char* pWorkingDir) {
  if (pWorkingDir == nullptr) return std::string();
  std::string saved = get_current_directory();
  if (saved.empty() || chdir(pWorkingDir) != 0) return std::string();
  return saved;
}

// Reaps the child `pid_id` (retrying on EINTR). `exit_code` becomes its
// exit status, or stays 0xFFFFFFFF when it was killed by a signal or the
// wait failed. True when the exit status is 0. Ids below 1 are refused.
bool wait_for_process_exit(pid_t pid_id, unsigned int& exit_code) {
  exit_code = kNoExitCode;
  if (!is_single_process_id(static_cast<unsigned int>(pid_id))) return false;
  int status = 0;
  pid_t reaped;
  do {
    reaped = waitpid(pid_id, &status, 0);
  } while (reaped == -1 && errno == EINTR);
  if (reaped != pid_id || !WIFEXITED(status)) return false;
  exit_code = static_cast<unsigned int>(WEXITSTATUS(status));
  return exit_code == 0;
}

// Forks; the child runs `arguments_table` (PATH search as execvp does) and
// ends with status 255 when it cannot. `pid_id` receives fork's result
// (0xFFFFFFFF when fork failed). Asynchronous: true once the child exists.
// Synchronous: waits as wait_for_process_exit does. Everything the child
// needs is prepared before the fork; between fork and exec the child only
// makes async-signal-safe calls.
bool fork_process(char* const* arguments_table, unsigned int& pid_id,
                  unsigned int& exit_code, bool async, bool inheritHandles) {
  exit_code = kNoExitCode;
  if (arguments_table == nullptr || arguments_table[0] == nullptr) {
    pid_id = kNoProcessId;  // nothing to run: reported like a failed fork
    return false;
  }
  ExecPlan plan = plan_exec(arguments_table);
  std::vector<char*> candidate_table = getArgumentsVTable(plan.candidates);
  sigset_t sigs_to_unblock;
  sigemptyset(&sigs_to_unblock);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGALRM})
    sigaddset(&sigs_to_unblock, sig);
  long max_fds = max_descriptors();

  pid_t pid = fork();
  if (pid == 0) {
    run_child(arguments_table, plan, candidate_table, sigs_to_unblock,
              max_fds, inheritHandles);
  }
  pid_id = static_cast<unsigned int>(pid);
  if (pid == -1) return false;
  if (async) return true;
  return wait_for_process_exit(pid, exit_code);
}

}  // namespace

bool is_single_process_id(unsigned int pid_id) {
  return static_cast<pid_t>(pid_id) > 0;
}

bool CProcess::execute_command(const char* command_line, unsigned int& pid_id,
                               unsigned int& exit_code,
                               const char* working_directory,
                               bool show_window, bool inheritHandles,
                               bool async) {
  (void)show_window;
  if (command_line == nullptr) return false;
  std::vector<std::string> arguments;
  split_arguments(command_line, arguments);
  std::vector<char*> arguments_table = getArgumentsVTable(arguments);

  std::string saved_directory;
  if (working_directory != nullptr) {
    saved_directory = set_current_working_directory(working_directory);
    if (saved_directory.empty()) return false;
  }
  exit_code = kNoExitCode;
  bool result = fork_process(arguments_table.data(), pid_id, exit_code, async,
                             inheritHandles);
  if (working_directory != nullptr &&
      !set_working_directory(saved_directory)) {
    result = false;
  }
  return result;
}

bool CProcess::ExecuteCmd(const char* command_line, unsigned int& pid_id,
                          unsigned int& exit_code,
                          const char* working_directory, bool show_window,
                          bool inheritHandles) {
  return execute_command(command_line, pid_id, exit_code, working_directory,
                         show_window, inheritHandles, false);
}

bool CProcess::ExecuteCmd(const char* command_line,
                          const char* working_directory, bool show_window,
                          bool inheritHandles) {
  unsigned int pid_id = 0;
  unsigned int exit_code = kNoExitCode;
  return execute_command(command_line, pid_id, exit_code, working_directory,
                         show_window, inheritHandles, false);
}

bool CProcess::ExecuteCmdAsync(const char* command_line, unsigned int& pid_id,
                               const char* working_directory,
                               bool show_window, bool inheritHandles) {
  unsigned int exit_code = kNoExitCode;
  return execute_command(command_line, pid_id, exit_code, working_directory,
                         show_window, inheritHandles, true);
}

bool CProcess::ExecuteCmdAsync(const char* command_line,
                               const char* working_directory,
                               bool show_window, bool inheritHandles) {
  unsigned int pid_id = 0;
  unsigned int exit_code = kNoExitCode;
  return execute_command(command_line, pid_id, exit_code, working_directory,
                         show_window, inheritHandles, true);
}

bool CProcess::WaitForExit(unsigned int pid_id, unsigned int& exit_code,
                           unsigned int wait_timeout) {
  (void)wait_timeout;
  return wait_for_process_exit(static_cast<pid_t>(pid_id), exit_code);
}

bool CProcess::TerminateProcess(unsigned int pid_id, unsigned int exit_code) {
  (void)exit_code;
  if (!is_single_process_id(pid_id)) return false;
  return kill(static_cast<pid_t>(pid_id), SIGKILL) == 0;
}
