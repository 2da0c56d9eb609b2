// The trace directory and the trace files' paths; see debug_trace_path.h.

#include "debug_trace_path.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "debug_trace_config_file.h"
#include "directory_list.h"

const char kTraceConfigDirectory[] = "/etc/norvale/KelvaneSuite/TraceConfig";
const char kDefaultTraceDirectory[] = "/var/log/oxbeam";

void SetConfiguredText(const char* pEnvName, const char* pConfigured,
                       const char* pDefault, char* pValue, size_t size) {
  if (pValue == nullptr || size == 0) return;
  const char* env = pEnvName != nullptr ? getenv(pEnvName) : nullptr;
  const char* chosen;
  if (env != nullptr) {
    chosen = env;
  } else if (pConfigured != nullptr && *pConfigured != '\0') {
    chosen = pConfigured;
  } else {
    chosen = pDefault != nullptr ? pDefault : "";
  }
  size_t limit = size - 1 < 255 ? size - 1 : 255;
  size_t n = strnlen(chosen, limit);
  memmove(pValue, chosen, n);
  pValue[n] = '\0';
}

bool OpenApplicationSection(const char* pConfigDir, const char* pSection,
                            CDebugTraceConfigFile* file) {
  // A directory that cannot be read leaves the list empty.
  FileNameList list;
  CDirectoryList::GetFileNameListFromDir(pConfigDir, &list);
  file->CloseSectionInIniFile();
  bool found = false;
  for (int i = 0; i < list.count && !found; ++i) {
    // A failure closes the record, so the next file starts afresh.
    found = file->OpenSectionInIniFile(pConfigDir, list.FileName[i], pSection);
  }
  CDirectoryList::FreeFileNameList(&list);
  return found;
}

void ReadConfiguredTraceDirectory(CDebugTraceConfigFile* file, char* dir,
                                  size_t size) {
  char value[kTracePathSize];
  if (size == 0 ||
      !file->GetStringFromIniFile("RingBufferDirectory", value, sizeof(value)))
    return;
  snprintf(dir, size, "%s", value);
}

void ChooseTraceDirectory(const char* pConfigured, const char* pDefaultDir,
                          char* dir, size_t size) {
  SetConfiguredText("QZ_LOG_RINGBUF_DIR", pConfigured, pDefaultDir, dir, size);
}

bool FormatTracePath(char* dst, size_t size, const char* dir,
                     const char* lowerName, const char* suffix) {
  int n = snprintf(dst, size, "%s/log.%s%s", dir, lowerName, suffix);
  if (n < 0) dst[0] = '\0';
  return n >= 0 && static_cast<size_t>(n) < size;
}

bool GetConfiguredRingBufferPath(const char* pApplicationName,
                                 const char* pConfigDir,
                                 const char* pDefaultDir, std::string* path) {
  if (pApplicationName == nullptr || *pApplicationName == '\0' ||
      pConfigDir == nullptr || pDefaultDir == nullptr || path == nullptr)
    return false;
  char config_dir[kTracePathSize];
  snprintf(config_dir, sizeof(config_dir), "%s", pConfigDir);

  char configured[kTracePathSize] = "";
  CDebugTraceConfigFile file;
  if (OpenApplicationSection(config_dir, pApplicationName, &file))
    ReadConfiguredTraceDirectory(&file, configured, sizeof(configured));
  char dir[kTracePathSize];
  ChooseTraceDirectory(configured, pDefaultDir, dir, sizeof(dir));

  std::string lower(pApplicationName);
  for (char& c : lower)
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  char buffer[kTracePathSize];
  if (!FormatTracePath(buffer, sizeof(buffer), dir, lower.c_str(), "_a"))
    return false;
  *path = buffer;
  return true;
}
