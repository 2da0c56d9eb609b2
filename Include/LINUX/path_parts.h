// A path's directory and its last name, taken apart as text (nothing is
// looked up): "pkg/px.arg" is "pkg" and "px.arg", "px.arg" is "." and
// "px.arg", "/px.arg" is "/" and "px.arg". And its components.

#ifndef INCLUDE_LINUX_PATH_PARTS_H_
#define INCLUDE_LINUX_PATH_PARTS_H_

#include <string>
#include <vector>

inline std::string DirectoryPart(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

inline std::string NamePart(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The names between the slashes, without empty ones: "/a//./b/" gives
// "a", "." and "b".
inline std::vector<std::string> PathComponents(const std::string& path) {
  std::vector<std::string> parts;
  for (size_t at = 0; at <= path.size();) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    if (slash > at) parts.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return parts;
}

#endif  // INCLUDE_LINUX_PATH_PARTS_H_
