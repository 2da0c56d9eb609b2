// Replacing a package's file whole, as "pxtool reset" and "pxtool fmt"
// rewrite an argument file and keep its previous content beside it.

#ifndef TOOLS_PXTOOL_FILE_REPLACE_H_
#define TOOLS_PXTOOL_FILE_REPLACE_H_

#include <sys/stat.h>

#include <string>

namespace pxtool {

// Replaces `target` with `text` through ReplaceWhole (safe_file.h): a new
// file beside it, named with `tag`, created exclusively without following a
// symbolic link, given the mode and (as root) the owner of `like`, flushed
// and renamed over `target`, so that a crash leaves the old content or the
// new. The directory is not flushed. False with `error` naming `target`.
bool ReplaceFile(const std::string& target, const std::string& text,
                 const struct stat& like, const char* tag, std::string* error);

}  // namespace pxtool

#endif  // TOOLS_PXTOOL_FILE_REPLACE_H_
