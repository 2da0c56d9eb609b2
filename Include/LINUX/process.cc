#include "process.h"

#include <unistd.h>

#include <cstring>

std::string get_current_directory() {
  char buffer[4097];
  memset(buffer, 0, sizeof(buffer));
  if (getcwd(buffer, 4096) == nullptr) return std::string();
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

bool CProcess::SetCurrentDir(const char* working_directory) {
  if (working_directory == nullptr) return false;
  return set_working_directory(working_directory);
}
