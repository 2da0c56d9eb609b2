// Helpers shared by the trace facility tests: a temporary directory tree
// with the trace variables cleared, and whole-file reads and writes.

#ifndef TESTS_TRACE_TEST_UTIL_H_
#define TESTS_TRACE_TEST_UTIL_H_

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace trace_test {

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::string ReadFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Moves the modification time of `path` ahead, so that a change is seen
// whatever the clock granularity.
inline void TouchAhead(const std::string& path, int seconds = 100) {
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  struct timespec times[2] = {st.st_atim, {st.st_mtime + seconds, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
}

// Length of an entry header without the memory figure for "Quillon".
const size_t kPlainHeaderLength = 49;

// A temporary tree: cfg/ (configuration directory), trace/ (the trace
// directory the configuration names), default/ (the trace directory when
// none is configured). Variables set with SetEnv, and every variable the
// trace object reads, are restored afterwards.
class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillon_trace_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    root_ = pattern;
    cfg_ = root_ + "/cfg";
    trace_ = root_ + "/trace";
    default_ = root_ + "/default";
    for (const std::string& dir : {cfg_, trace_, default_}) {
      ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    }
    for (const char* name :
         {"QZ_LOG_DYNAMIC_UPDATE", "QZ_LOG_RINGBUF_DIR", "QZ_LOG_FILE_MAX_SIZE",
          "QZ_LOG_DEBUG_LEVEL", "TraceFileLimit", "QZ_LOG_RINGBUF_WEIGHT",
          "QZ_LOG_NOHDR_TOSDTERR", "QZ_LOG_RINGBUF_WEIGHT_QUILLON"}) {
      SetEnv(name, nullptr);
    }
  }
  void TearDown() override {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second.first) {
        setenv(it->first.c_str(), it->second.second.c_str(), 1);
      } else {
        unsetenv(it->first.c_str());
      }
    }
    EXPECT_EQ(0, system(("rm -rf '" + root_ + "'").c_str()));
  }
  // Sets (or, with null, unsets) a variable until the end of the test.
  void SetEnv(const std::string& name, const char* value) {
    const char* old = getenv(name.c_str());
    saved_.push_back({name, {old != nullptr, old != nullptr ? old : ""}});
    if (value != nullptr) {
      setenv(name.c_str(), value, 1);
    } else {
      unsetenv(name.c_str());
    }
  }
  // An application file for "Quillon" naming trace/.
  void WriteAppConfig(const std::string& body,
                      const std::string& file = "quillon.ini") {
    WriteFile(cfg_ + "/" + file, "[Quillon]\nRingBufferDirectory = " + trace_ +
                                     "\n" + body + "\n[EndOfFile]\n");
  }
  // A ring buffer of factor x weight units; no memory figure, so that entry
  // headers have their fixed width.
  void WriteRingConfig(const std::string& level, unsigned factor,
                       unsigned weight) {
    WriteAppConfig("FileDebugLevel = " + level + "\nRingBufferSizeFactor = " +
                   std::to_string(factor) + "\nRingBufferSizeWeight = " +
                   std::to_string(weight) + "\nMemoryTracesFlag = 0");
  }
  std::string LogPath() const { return trace_ + "/log.quillon"; }
  std::string RingPath() const { return trace_ + "/log.quillon_a"; }

  std::string root_, cfg_, trace_, default_;
  std::vector<std::pair<std::string, std::pair<bool, std::string>>> saved_;
};

inline size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

}  // namespace trace_test

#endif  // TESTS_TRACE_TEST_UTIL_H_
