#include "debug_trace_config_file.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "safe_file.h"

namespace {

// Reads exactly `size` bytes of `path` into `buf`.
bool ReadWholeFile(const char* path, char* buf, size_t size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool whole = ReadFully(fd, buf, size) == static_cast<ssize_t>(size);
  close(fd);
  return whole;
}

// The body of `section` in the file's text [text, text + size), which has
// zero bytes behind it: the text up to the next "[". The last "]" must
// close "[EndOfFile]", whose "[" ends the usable text. Terminators are
// written behind the end marker and into every section header passed.
// Null when there is no end marker or no such section, or a header before
// it is not closed.
char* FindSection(char* text, size_t size, const char* section) {
  char* close_bracket =
      static_cast<char*>(memrchr(text + 1, ']', size > 0 ? size - 1 : 0));
  if (close_bracket == nullptr) return nullptr;
  *close_bracket = '\0';
  char* end_marker = static_cast<char*>(
      memrchr(text + 1, '[', static_cast<size_t>(close_bracket - text - 1)));
  if (end_marker == nullptr || strcasecmp(end_marker + 1, "EndOfFile") != 0)
    return nullptr;
  *end_marker = '\0';
  // Walk the section headers up to the end marker.
  for (char* p = text; p < end_marker; ++p) {
    if (*p != '[') continue;
    *p = '\0';
    char* name = p + 1;
    char* q = name;
    while (q < end_marker && *q != ']') ++q;
    if (q >= end_marker) return nullptr;
    *q = '\0';
    if (strcasecmp(name, section) == 0) return q + 1;
    p = q;
  }
  return nullptr;
}

}  // namespace

CDebugTraceConfigFile::CDebugTraceConfigFile() = default;

CDebugTraceConfigFile::~CDebugTraceConfigFile() { CloseSectionInIniFile(); }

void CDebugTraceConfigFile::CloseSectionInIniFile() {
  free(m_pToIniFileMemory);
  m_pToIniFileMemory = nullptr;
  m_pToSectionBeg = nullptr;
  m_pToSectionEnd = nullptr;
  m_IniFilePath[0] = '\0';
  m_IniFileSize = 0;
  m_LastModificationDate = 0;
}

bool CDebugTraceConfigFile::OpenSectionInIniFile(const char* dir,
                                                 const char* file,
                                                 const char* section) {
  if (section == nullptr) section = "";
  if (!IsOpen()) {
    if (dir == nullptr || file == nullptr) return false;
    int n = snprintf(m_IniFilePath, sizeof(m_IniFilePath), "%s/%s", dir, file);
    struct stat st;
    if (n < 0 || static_cast<size_t>(n) >= sizeof(m_IniFilePath) ||
        stat(m_IniFilePath, &st) != 0) {
      CloseSectionInIniFile();
      return false;
    }
    m_IniFileSize = st.st_size;
    m_LastModificationDate = st.st_mtime;
  }

  free(m_pToIniFileMemory);
  const size_t size = m_IniFileSize > 0 ? static_cast<size_t>(m_IniFileSize) : 0;
  char* text = size > 0 ? static_cast<char*>(calloc(size + 16, 1)) : nullptr;
  m_pToIniFileMemory = text;
  char* body = text != nullptr && ReadWholeFile(m_IniFilePath, text, size)
                   ? FindSection(text, size, section)
                   : nullptr;
  if (body == nullptr) {
    CloseSectionInIniFile();
    return false;
  }
  m_pToSectionBeg = body;
  m_pToSectionEnd = body + strcspn(body, "[");
  *m_pToSectionEnd = '\0';
  return true;
}

const char* CDebugTraceConfigFile::FindValue(const char* key) const {
  if (m_pToSectionBeg == nullptr || key == nullptr || *key == '\0') {
    return nullptr;
  }
  const char* at = strstr(m_pToSectionBeg, key);
  if (at == nullptr) return nullptr;
  const char* eq = strchr(at + strlen(key), '=');
  if (eq == nullptr) return nullptr;
  // Leading white space (the C locale's) is skipped.
  return eq + 1 + strspn(eq + 1, " \t\n\v\f\r");
}

bool CDebugTraceConfigFile::GetStringFromIniFile(const char* key, char* buf,
                                                 unsigned size) {
  const char* value = FindValue(key);
  if (value == nullptr || buf == nullptr || size == 0) return false;
  const size_t n = std::min<size_t>(strcspn(value, "\n\r"), size - 1);
  memcpy(buf, value, n);
  buf[n] = '\0';
  return true;
}

bool CDebugTraceConfigFile::GetNumberFromIniFile(const char* key,
                                                 unsigned& value) {
  char text[64];
  if (!GetStringFromIniFile(key, text, sizeof(text))) return false;
  value = static_cast<unsigned>(strtoul(text, nullptr, 0));
  return true;
}

bool CDebugTraceConfigFile::IsIniFileModified() {
  if (!IsOpen()) return false;
  struct stat st;
  if (stat(m_IniFilePath, &st) != 0) {
    CloseSectionInIniFile();
    return false;
  }
  if (st.st_mtime <= m_LastModificationDate) return false;
  m_IniFileSize = st.st_size;
  m_LastModificationDate = st.st_mtime;
  return true;
}
