// A path's directory and its last name, taken apart as text (nothing is
// looked up): "pkg/px.arg" is "pkg" and "px.arg", "px.arg" is "." and
// "px.arg", "/px.arg" is "/" and "px.arg".

#ifndef INCLUDE_LINUX_PATH_PARTS_H_
#define INCLUDE_LINUX_PATH_PARTS_H_

#include <string>

inline std::string DirectoryPart(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

inline std::string NamePart(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

#endif  // INCLUDE_LINUX_PATH_PARTS_H_
