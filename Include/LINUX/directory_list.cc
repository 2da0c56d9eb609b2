#include "directory_list.h"

#include <cstdlib>
#include <cstring>

int CDirectoryList::SelectFilesInDir(const struct dirent* entry) {
  return entry != nullptr && strstr(entry->d_name, ".ini") != nullptr;
}

int CDirectoryList::GetFileNameListFromDir(const char* dir,
                                           FileNameList* list) {
  if (list == nullptr) return -1;
  list->count = 0;
  list->FileName = nullptr;
  if (dir == nullptr) return -1;

  struct dirent** entries = nullptr;
  int n = scandir(dir, &entries, SelectFilesInDir, alphasort);
  if (n < 0) return -1;

  char** names = static_cast<char**>(calloc(n + 1, sizeof(char*)));
  bool ok = names != nullptr;
  for (int i = 0; i < n; ++i) {
    if (ok) {
      names[i] = strdup(entries[i]->d_name);
      if (names[i] == nullptr) ok = false;
    }
    free(entries[i]);
  }
  free(entries);

  list->FileName = names;
  list->count = n;
  if (!ok) {
    FreeFileNameList(list);
    return -1;
  }
  return n;
}

void CDirectoryList::FreeFileNameList(FileNameList* list) {
  if (list == nullptr) return;
  if (list->FileName != nullptr) {
    for (int i = 0; i < list->count; ++i) free(list->FileName[i]);
    free(list->FileName);
  }
  list->FileName = nullptr;
  list->count = 0;
}
