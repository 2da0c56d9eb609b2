#include "file_replace.h"

#include "safe_file.h"

namespace pxtool {

bool ReplaceFile(const std::string& target, const std::string& text,
                 const struct stat& like, const char* tag, std::string* error) {
  std::string why;
  bool created = false;
  if (ReplaceWhole(target, text, tag, like.st_mode & 07777, &like, &why, &created))
    return true;
  *error = target + (created ? ": cannot be written: " : ": cannot create a file beside it: ") +
           why;
  return false;
}

}  // namespace pxtool
