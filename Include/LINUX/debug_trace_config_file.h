// CDebugTraceConfigFile: one trace configuration file, opened on one
// section.
//
// File format: section headers (a name in square brackets) and entries
// ("key = value", one per line); other text is ignored. The last "]" of the
// file must close the header "[EndOfFile]" (any case), or the file is
// rejected as a whole; text after it is ignored. Section names compare
// without case. Keys are case-sensitive and are found as plain text
// anywhere in the section body.
//
// An open record keeps a private, zero-padded copy of the whole file (the
// parser writes terminators into it), the bounds of the section body, and
// the file's path, size and modification time, so that a later change of
// the file can be noticed (IsIniFileModified) and the section read again.
// A closed record has an empty path. Nothing is ever written to the file.

#ifndef INCLUDE_LINUX_DEBUG_TRACE_CONFIG_FILE_H_
#define INCLUDE_LINUX_DEBUG_TRACE_CONFIG_FILE_H_

#include <sys/types.h>

#include <ctime>

class CDebugTraceConfigFile {
 public:
  CDebugTraceConfigFile();
  ~CDebugTraceConfigFile();

  CDebugTraceConfigFile(const CDebugTraceConfigFile&) = delete;
  CDebugTraceConfigFile& operator=(const CDebugTraceConfigFile&) = delete;

  // Reads the file and opens `section` in it. A closed record takes its
  // path from dir + "/" + file and the size and time from the file's
  // status; an open record reads its own path again with the size stored
  // last (IsIniFileModified updates it). True when the file carries the
  // end marker and the section; on failure the record is closed.
  bool OpenSectionInIniFile(const char* dir, const char* file,
                            const char* section);
  // Copies the value of `key` (at most size - 1 characters, always
  // terminated) into `buf`. The value is the text after the first "="
  // behind the key, leading white space (line ends included) skipped, up
  // to the line end. False when no section is open, the key or the "=" is
  // missing; `buf` is then unchanged.
  bool GetStringFromIniFile(const char* key, char* buf, unsigned size);
  // As GetStringFromIniFile (at most 63 characters), converted with
  // automatic base ("0x" hex, leading "0" octal, else decimal; a leading
  // minus counts back from 2^32; no digits give 0).
  bool GetNumberFromIniFile(const char* key, unsigned& value);
  // True when the record is open and the file's modification time is newer
  // than the stored one; the new size and time are then stored. A file
  // whose status cannot be read closes the record.
  bool IsIniFileModified();
  // Frees the copy and forgets the file.
  void CloseSectionInIniFile();

  bool IsOpen() const { return m_IniFilePath[0] != '\0'; }

 private:
  // Finds the value text of `key` in the open section; null if none.
  const char* FindValue(const char* key) const;

  char* m_pToIniFileMemory = nullptr;  // a copy, 16 bytes longer; owned
  char* m_pToSectionBeg = nullptr;  // first character of the section body
  char* m_pToSectionEnd = nullptr;  // terminator at the end of the body
  // The file's path, empty when closed. Kept in place: the trace object is
  // built before main, where a failed allocation could not be reported.
  char m_IniFilePath[4096] = "";
  off_t m_IniFileSize = 0;
  time_t m_LastModificationDate = 0;
};

#endif  // INCLUDE_LINUX_DEBUG_TRACE_CONFIG_FILE_H_
