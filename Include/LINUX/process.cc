// CProcess, first half: the working directory and the information Linux
// publishes about a process under /proc.

#include "process.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "safe_file.h"

namespace {

// getcwd and readlink write into a zero-filled buffer of this size but are
// given one byte less, so the text is always terminated.
const size_t kPathBufferSize = CProcess::kCurrentDirSize;

// The number that atoi would read from a /proc entry name: its leading
// decimal digits, 0 when there are none. Names whose digits exceed INT_MAX
// give 0 as well, so they are skipped like any other non-process entry.
int entry_number(const char* name) {
  long long value = 0;
  for (const char* p = name; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > INT_MAX) return 0;
  }
  return static_cast<int>(value);
}

// A file read line by line with getline; its buffer freed and the stream
// closed when it goes out of scope. `file` is null when it cannot be opened.
struct LineReader {
  explicit LineReader(const std::string& path)
      : file(fopen(path.c_str(), "re")) {}
  ~LineReader() {
    free(data);
    if (file != nullptr) fclose(file);
  }
  // The next line, its line end included, into `data`; -1 at the end.
  ssize_t Next() { return getline(&data, &capacity, file); }
  FILE* file;
  char* data = nullptr;
  size_t capacity = 0;
};

// When the first white-space separated word of `line` equals `field_name`,
// reads the unsigned decimal number after it and the unit word ("kB", "MB"
// or "GB" scale by 1024, 1024^2, 1024^3; any other word or none leaves the
// number as read; a missing number reads as 0), stores the bytes in
// `*memory_usage` and returns true. Otherwise returns false and leaves
// `*memory_usage` alone.
bool check_line(const std::string& line, const std::string& field_name,
                size_t* memory_usage) {
  // Most lines of a status file are not the one asked for: compare the
  // first word in place before paying for a string stream.
  size_t start = line.find_first_not_of(" \t\n\v\f\r");
  if (start == std::string::npos ||
      line.compare(start, field_name.size(), field_name) != 0) {
    return false;
  }
  std::istringstream words(line);
  std::string read_field_name;
  words >> read_field_name;
  if (read_field_name != field_name) return false;
  unsigned long long value = 0;
  std::string unit;
  words >> value >> unit;
  if (unit == "kB") {
    value *= 1024ULL;
  } else if (unit == "MB") {
    value *= 1024ULL * 1024ULL;
  } else if (unit == "GB") {
    value *= 1024ULL * 1024ULL * 1024ULL;
  }
  *memory_usage = static_cast<size_t>(value);
  return true;
}

}  // namespace

std::string get_current_directory() {
  char buffer[kPathBufferSize];
  CProcess::GetCurrentDir(buffer);
  return std::string(buffer);
}

bool set_working_directory(const std::string& current_dir) {
  if (current_dir.empty()) return false;
  return chdir(current_dir.c_str()) == 0;
}

bool CProcess::GetCurrentDir(std::string& current_directory) {
  std::string dir = get_current_directory();
  if (dir.empty()) return false;
  current_directory = dir;
  return true;
}

bool CProcess::GetCurrentDir(char (&buffer)[kCurrentDirSize]) {
  memset(buffer, 0, sizeof(buffer));
  if (getcwd(buffer, kPathBufferSize - 1) != nullptr) return true;
  buffer[0] = '\0';
  return false;
}

bool CProcess::SetCurrentDir(const char* working_directory) {
  if (working_directory == nullptr || *working_directory == '\0') return false;
  return chdir(working_directory) == 0;
}

std::string CProcess::get_proc_file_name(pid_t pid, const char* name) {
  return "/proc/" + std::to_string(static_cast<int>(pid)) + "/" + name;
}

bool CProcess::get_proc_file(pid_t pid_id, const char* file_name,
                             std::string& file_content) {
  LineReader line(get_proc_file_name(pid_id, file_name));
  if (line.file == nullptr) return false;
  ssize_t length = line.Next();
  if (length < 0) {
    // An empty file (or a read error after opening) reads as an empty line.
    file_content.clear();
    return true;
  }
  if (length > 0 && line.data[length - 1] == '\n') --length;
  file_content.assign(line.data, static_cast<size_t>(length));
  return true;
}

bool CProcess::get_process_name_by_id(pid_t pid, std::string& process_name) {
  return get_proc_file(pid, "comm", process_name);
}

bool CProcess::GetProcessName(std::string& process_name, unsigned int pid_id) {
  return get_process_name_by_id(static_cast<pid_t>(pid_id), process_name);
}

bool CProcess::GetProcessPath(std::string& process_exec_path,
                              unsigned int pid_id) {
  char buffer[kPathBufferSize] = {};
  std::string link = get_proc_file_name(static_cast<pid_t>(pid_id), "exe");
  ssize_t length = readlink(link.c_str(), buffer, kPathBufferSize - 1);
  if (length < 1) return false;
  process_exec_path = buffer;
  return true;
}

bool CProcess::GetProcessInfo(unsigned int pid_id, std::string& process_name,
                              std::string& process_exec_path) {
  bool name_found = GetProcessName(process_name, pid_id);
  bool path_found = GetProcessPath(process_exec_path, pid_id);
  return name_found && path_found;
}

pid_t CProcess::find_process_by_name(const char* process_name) {
  int fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return -1;
  }
  pid_t found = -1;
  std::string name;
  while (struct dirent* entry = readdir(dir)) {
    int pid = entry_number(entry->d_name);
    // A process that has ended since the directory was read is skipped.
    if (pid < 1 || !get_proc_file(pid, "comm", name)) continue;
    if (name == process_name) {
      found = pid;
      break;
    }
  }
  closedir(dir);
  return found;
}

bool CProcess::FindProcess(unsigned int& pid_id, const char* process_name) {
  pid_t pid = process_name == nullptr ? -1 : find_process_by_name(process_name);
  pid_id = static_cast<unsigned int>(pid);
  return pid != -1;
}

void CProcess::GetProcessMemorySpecificInfo(unsigned int pid_id,
                                            size_t* usage,
                                            std::string command,
                                            unit format) {
  if (usage == nullptr) return;
  LineReader status(get_proc_file_name(static_cast<pid_t>(pid_id), "status"));
  std::string line;
  ssize_t length;
  while (status.file != nullptr && (length = status.Next()) >= 0) {
    line.assign(status.data, static_cast<size_t>(length));
    if (check_line(line, command, usage)) break;
  }
  // Shifting step by step keeps an out-of-range unit from shifting by 64
  // bits or more at once.
  for (int step = 0; step < static_cast<int>(format); ++step) *usage >>= 10;
}

size_t CProcess::GetOwnResidentKilobytes() {
  int fd = OpenRetrying(AT_FDCWD, "/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[128];
  ssize_t n;
  do {
    n = read(fd, text, sizeof(text) - 1);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  // "size resident shared text lib data dt", in pages.
  char* after_size = nullptr;
  strtoull(text, &after_size, 10);
  unsigned long long pages = strtoull(after_size, nullptr, 10);
  long page = sysconf(_SC_PAGESIZE);
  return static_cast<size_t>(pages * static_cast<unsigned long long>(page > 0 ? page : 4096) / 1024);
}

bool CProcess::GetProcessMemoryInfo(unsigned int pid_id,
                                    size_t* current_memory_usage,
                                    size_t* peak_memory_usage,
                                    size_t* current_page_file_usage,
                                    size_t* peak_page_file_usage,
                                    size_t* private_usage) {
  size_t current = 0, peak = 0, page_file = 0, shared_library_size = 0;
  GetProcessMemorySpecificInfo(pid_id, &peak, "VmPeak:", B);
  GetProcessMemorySpecificInfo(pid_id, &current, "VmSize:", B);
  GetProcessMemorySpecificInfo(pid_id, &page_file, "VmSwap:", B);
  GetProcessMemorySpecificInfo(pid_id, &shared_library_size, "VmLib:", B);
  if (current_memory_usage != nullptr) *current_memory_usage = current;
  if (peak_memory_usage != nullptr) *peak_memory_usage = peak;
  if (current_page_file_usage != nullptr) *current_page_file_usage = page_file;
  if (peak_page_file_usage != nullptr) *peak_page_file_usage = 0;
  if (private_usage != nullptr) *private_usage = current - shared_library_size;
  return peak != 0 && current != 0;
}

bool CProcess::GetProcessHandleCount(unsigned int Pid,
                                     unsigned int& dwHandleCount) {
  (void)Pid;
  dwHandleCount = 1;
  return false;
}

unsigned int CProcess::GetCurrentProcessId() {
  return static_cast<unsigned int>(getpid());
}

unsigned int CProcess::GetParentProcessId() {
  return static_cast<unsigned int>(getppid());
}
