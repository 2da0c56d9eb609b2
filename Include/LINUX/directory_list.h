// CDirectoryList: the names of the trace configuration files in a
// directory.
//
// A directory is listed with scandir: only entries whose name contains
// ".ini" anywhere are kept, sorted by the locale's collation order
// (alphasort). The list owns a copy of every name.

#ifndef INCLUDE_LINUX_DIRECTORY_LIST_H_
#define INCLUDE_LINUX_DIRECTORY_LIST_H_

#include <dirent.h>

struct FileNameList {
  int count;        // names in FileName
  char** FileName;  // count + 1 slots, the last one null; owned
};

class CDirectoryList {
 public:
  // Fills `list` with the ".ini" entries of `dir` and returns their count.
  // When the directory cannot be read (or `dir` is null, or memory runs
  // out) returns -1 and leaves `list` empty (count 0, no names). Release
  // the list with FreeFileNameList in every case.
  static int GetFileNameListFromDir(const char* dir, FileNameList* list);
  // Frees every name and the array; the list is empty afterwards.
  static void FreeFileNameList(FileNameList* list);
  // The entry filter: non-zero when the name contains ".ini".
  static int SelectFilesInDir(const struct dirent* entry);
};

#endif  // INCLUDE_LINUX_DIRECTORY_LIST_H_
