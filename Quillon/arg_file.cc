#include "arg_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "command_runner.h"
#include "interrupts.h"
#include "report.h"

namespace {

// The mapping that MarkLineTaken flushes; null when none is mapped.
const ArgFileView* g_mapped = nullptr;

// The scan prefix "<package directory>/" and a file name must fit in this
// many characters (a 260-byte path buffer).
const size_t kMaxScanPath = 259;

const char* FindLineFeed(const char* begin, const char* end) {
  if (begin >= end) return nullptr;
  return static_cast<const char*>(memchr(begin, '\n', end - begin));
}

void DebugPrint(const char* text) {
  if (debug) fputs(text, DebugOutput());
}

// Releases the list of package files and the package directory.
void ReleaseBasicParams() {
  for (unsigned int i = 0; i < uFileCnt && i < MAX_PACKAGE_FILES; ++i) {
    free(cFileList[i]);
    cFileList[i] = nullptr;
  }
  delete[] pFwPath;
  pFwPath = nullptr;
  uFileCnt = 0;
}

// Lists the package directory into cFileList, names in descending byte
// order, directories left out. Raises a code when a limit is passed.
void ListPackageFiles(const std::string& scanPrefix) {
  struct dirent** namelist = nullptr;
  int n = scandir(pFwPath, &namelist, nullptr, alphasort);
  if (n < 0) {
    if (debug) QLOG("ScanDir returned %d, error %d", n, errno);
    return;
  }
  if (debug) QLOG("ScanDir returned %d, entries, error %d", n, errno);
  unsigned int failure = 0;
  for (int i = n - 1; i >= 0; --i) {
    const char* name = namelist[i]->d_name;
    if (failure == 0 && strcmp(name, ".") != 0 && strcmp(name, "..") != 0) {
      std::string path = scanPrefix + name;
      struct stat info;
      if (path.size() > kMaxScanPath) {
        QREPORT(1, "ERROR : path \"%s\" of a package file is longer than %zu "
                "characters", path.c_str(), kMaxScanPath);
        failure = EXECERROR_CorruptedParaFile;
      } else if (stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
        if (uFileCnt >= MAX_PACKAGE_FILES) {
          QREPORT(1, "ERROR : package directory \"%s\" holds more than %d "
                  "files", pFwPath, static_cast<int>(MAX_PACKAGE_FILES));
          failure = EXECERROR_CorruptedParaFile;
        } else {
          char* copy = strdup(name);
          if (copy == nullptr) failure = EXECERROR_NoMemory;
          else cFileList[uFileCnt++] = copy;
        }
      }
    }
    free(namelist[i]);
  }
  free(namelist);
  if (failure != 0) throw failure;
}

}  // namespace

int OpenArgFile(const char* name, ArgFileView* view, std::string* why) {
  // No final symbolic link is followed (the run writes into the file), and
  // a FIFO or device cannot block the open.
  int fd = open(name, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    int error = errno;
    if (error == ELOOP) *why = "is a symbolic link";
    return error;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    int error = S_ISREG(info.st_mode) ? errno : EINVAL;
    *why = "is not a regular file";
    close(fd);
    return error;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  view->fd = fd;
  view->device = info.st_dev;
  view->inode = info.st_ino;
  // The run changes its directory later; keep a name that still resolves.
  view->path = name;
  char* cwd = name[0] == '/' ? nullptr : getcwd(nullptr, 0);
  if (cwd != nullptr) {
    view->path = std::string(cwd) + "/" + name;
    free(cwd);
  }
  return 0;
}

std::string ArgFileChange() {
  const ArgFileView* view = g_mapped;
  if (view == nullptr) return std::string();
  struct stat opened, named;
  if (fstat(view->fd, &opened) != 0) return "cannot be examined any more";
  if (opened.st_size != static_cast<off_t>(view->mapSize))
    return "changed its size from " + std::to_string(view->mapSize) + " to " +
           std::to_string(opened.st_size) + " bytes";
  if (opened.st_nlink == 0) return "was removed";
  if (stat(view->path.c_str(), &named) != 0 || named.st_dev != view->device ||
      named.st_ino != view->inode)
    return "was replaced by another file";
  return std::string();
}

int StatArgFile(const ArgFileView& view, size_t* size) {
  struct stat info;
  if (fstat(view.fd, &info) != 0) return errno;
  *size = static_cast<size_t>(info.st_size);
  return 0;
}

int MapArgFile(ArgFileView* view, size_t size) {
  if (size == 0) return EINVAL;  // an empty file cannot be mapped
  void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED,
                   view->fd, 0);
  if (map == MAP_FAILED) return errno;
  view->text = static_cast<char*>(map);
  view->mapSize = size;
  view->textEnd = view->text + strnlen(view->text, size);
  g_mapped = view;
  return 0;
}

void ReleaseArgFile(ArgFileView* view, bool closeFd) {
  if (view->text != nullptr) munmap(view->text, view->mapSize);
  if (g_mapped == view) g_mapped = nullptr;
  view->text = view->textEnd = nullptr;
  view->mapSize = 0;
  if (closeFd && view->fd >= 0) {
    close(view->fd);
    view->fd = -1;
  }
}

const char* FindText(const char* begin, const char* end, const char* needle) {
  if (begin >= end) return nullptr;
  return static_cast<const char*>(
      memmem(begin, end - begin, needle, strlen(needle)));
}

int MarkLineTaken(char* line) {
  *line = '1';
  if (g_mapped == nullptr || line < g_mapped->text ||
      line >= g_mapped->text + g_mapped->mapSize)
    return 0;
  uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t start = reinterpret_cast<uintptr_t>(line) & ~(page - 1);
  return msync(reinterpret_cast<void*>(start), 1, MS_SYNC) == 0 ? 0 : errno;
}

unsigned int ReadBasicParamsA(const void* pFileView, const char* pWorkPath) {
  const char* text = static_cast<const char*>(pFileView);
  return ReadBasicParamsA(pFileView, text + strlen(text), pWorkPath);
}

unsigned int ReadBasicParamsA(const void* pFileView, const char* end,
                              const char* pWorkPath) {
  const char* text = static_cast<const char*>(pFileView);
  uFileCnt = 0;

  const char* line = FindText(text, end, "[Runtime]");
  if (line == nullptr) {
    DebugPrint("Can not find RUNTIMESECTION");
    return EXECERROR_CorruptedParaFile;
  }
  do {
    const char* lf = FindLineFeed(line, end);
    if (lf == nullptr) {
      DebugPrint("Can't find line without comment");
      return EXECERROR_CorruptedParaFile;
    }
    line = lf + 1;
  } while (line < end && *line == '#');

  const char* key = FindText(line, end, "FWPATH=");
  if (key == nullptr) {
    DebugPrint("Missing FWPATHKEY");
    return EXECERROR_MissingFwPath;
  }

  try {
    const char* value = key + 7;
    size_t length = 0;
    if (autonomic) {
      value = pWorkPath;
      length = strlen(pWorkPath);
    } else {
      // The value ends two characters before the line feed; a value with no
      // line feed after it, or none before it, is taken as empty.
      const char* lf = FindLineFeed(value, end);
      if (lf == nullptr) {
        QREPORT(1, "ERROR : FWPATH value in argument file \"%s\" has no line "
                "end", pArgFileName);
      } else if (lf - 1 > value) {
        // Like the text, a value ends at a zero byte inside it.
        length = strnlen(value, static_cast<size_t>(lf - 1 - value));
      }
    }
    if (length == 0) {
      DebugPrint("Can't find FWPATHKEY");
      throw static_cast<unsigned int>(EXECERROR_CorruptedParaFile);
    }
    pFwPath = new (std::nothrow) char[length + 1];
    if (pFwPath == nullptr) {
      if (!autonomic) DebugPrint("Can't alloc memory");
      throw static_cast<unsigned int>(EXECERROR_NoMemory);
    }
    memcpy(pFwPath, value, length);
    pFwPath[length] = '\0';

    std::string scanPrefix(pFwPath);
    if (scanPrefix.back() != '/') scanPrefix += '/';
    if (debug) QLOG("Scan directory %s", pFwPath);
    ListPackageFiles(scanPrefix);
    return 0;
  } catch (unsigned int code) {
    if (debug) fprintf(DebugOutput(), "ReadBasicParams : caught exception %u\n",
                       code);
    ReleaseBasicParams();
    return autonomic ? 55 : code;
  }
}

unsigned int RunCommandSection(char* secStart, char* end,
                               const std::string& currentDir) {
  char* lf = const_cast<char*>(FindLineFeed(secStart, end));
  if (lf == nullptr) return 0;  // the key's line is the last: no commands
  for (char* line = lf + 1;; line = lf + 1) {
    if (line < end && *line == '[') {
      QREPORT(2, "Finished reading argument file \"%s%s%s\"",
              currentDir.c_str(), "/", pArgFileName);
      return 0;
    }
    lf = const_cast<char*>(FindLineFeed(line, end));
    if (lf == nullptr) {
      QTRACE(1, "ERROR : Corrupted arg file!");
      QLOG("ERROR : corrupted arg file");
      throw static_cast<unsigned int>(EXECERROR_HandlerError);
    }
    if (*line == '0') {
      if (int sig = InterruptSignal()) {
        QREPORT(1, "ERROR : signal %d (%s) received - run stopped before the "
                "next pending line of argument file \"%s\", which stays "
                "pending", sig, strsignal(sig), pArgFileName);
        throw static_cast<unsigned int>(EXECERROR_HandlerError);
      }
      size_t length = static_cast<size_t>(lf - 1 - line);
      int result = DoCommandA(line, length, externalOptionBuffer,
                              externalParameterBuffer, externalResetBuffer);
      if (result != 0) return static_cast<unsigned int>(result);
    }
  }
}
