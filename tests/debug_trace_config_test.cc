// Trace configuration: the ".ini" parser, the directory list, the
// configured-value rule, the settings Init reads (and the ring-buffer path a
// reader of the trace finds with them) and the re-check.

#include "cdebug.h"
#include "debug_ring_reader.h"
#include "debug_trace_config_file.h"
#include "directory_list.h"
#include "test_util.h"

namespace quillon_test {
namespace {

class DebugTraceConfigTest : public TraceTest {
 protected:
  // A reader of the trace, which does not build a trace object, must find
  // the ring-buffer file in the directory `trace` chose.
  void ExpectReaderFindsRing(const CDebug& trace, const char* default_dir) {
    std::string path;
    ASSERT_TRUE(GetTraceRingBufferPath("QUILLON", &path, cfg_.c_str(), default_dir));
    EXPECT_EQ(std::string(trace.GetTraceDirectory()) + "/log.quillon_a", path);
  }
};

TEST_F(DebugTraceConfigTest, ParserSectionsKeysAndNumbers) {
  const std::string body =
      "junk\n[Other]\nFileDebugLevel = 7\n[QUILLON]\nHex = 0x3\nOct=010\nMinus = -1\nWord = abc\n"
      "Empty =\nTraceFlags = 5\nSpaced   =   some text\r\nLate\n= 12\n[Next]\nNext = 1\n";
  CDebugTraceConfigFile file;
  // The last "]" closes no "[EndOfFile]": the whole file is rejected.
  WriteFile(cfg_ + "/a.ini", body + "[EndOfFile]\ntrailing ] text\n");
  EXPECT_FALSE(file.OpenSectionInIniFile(cfg_.c_str(), "a.ini", "Quillon"));
  WriteFile(cfg_ + "/a.ini", body + "[endoffile]\ntrailing text\n");
  ASSERT_TRUE(file.OpenSectionInIniFile(cfg_.c_str(), "a.ini", "quillon"));
  const std::pair<const char*, unsigned> numbers[] = {
      {"Hex", 3}, {"Oct", 8}, {"Minus", 0xFFFFFFFF}, {"Word", 0}, {"Late", 12}};
  for (const auto& number : numbers) {
    unsigned value = 99;
    EXPECT_TRUE(file.GetNumberFromIniFile(number.first, value)) << number.first;
    EXPECT_EQ(number.second, value) << number.first;
  }
  char text[64];
  EXPECT_TRUE(file.GetStringFromIniFile("Empty", text, sizeof(text)));
  EXPECT_STREQ("TraceFlags = 5", text);  // the value is the whole next line
  unsigned value = 42;  // case-sensitive keys, bounded by the section
  for (const char* absent : {"hex", "Next", "FileDebugLevel"})
    EXPECT_FALSE(file.GetNumberFromIniFile(absent, value)) << absent;

  file.CloseSectionInIniFile();  // an open record rereads its own file
  for (const char* bad : {"", "[Quillon]\nA = 1\n[Other]\n", "[Quillon\nA = 1\n[EndOfFile]\n"}) {
    WriteFile(cfg_ + "/b.ini", bad);
    EXPECT_FALSE(file.OpenSectionInIniFile(cfg_.c_str(), "b.ini", "Quillon")) << bad;
    EXPECT_FALSE(file.IsOpen());
  }
}

TEST_F(DebugTraceConfigTest, DirectoryListAndValueRule) {
  for (const char* name : {"b.ini", "a.ini.bak", "c.txt", "x.INI"}) 
    WriteFile(cfg_ + "/" + name, "");
  FileNameList list;
  ASSERT_EQ(2, CDirectoryList::GetFileNameListFromDir(cfg_.c_str(), &list));
  EXPECT_STREQ("a.ini.bak", list.FileName[0]);
  EXPECT_STREQ("b.ini", list.FileName[1]);
  CDirectoryList::FreeFileNameList(&list);

  // A variable wins over the file's value, which wins over the default
  // unless it is all ones (not configured).
  CDebugTraceConfig config;
  unsigned value = 0;
  config.SetConfiguredValue("QZ_TEST_TRACE", 0xFFFFFFFF, 9, &value);
  EXPECT_EQ(9u, value);
  SetEnv("QZ_TEST_TRACE", "0x10");  // decimal only
  config.SetConfiguredValue("QZ_TEST_TRACE", 5, 9, &value);
  EXPECT_EQ(0u, value);
}

TEST_F(DebugTraceConfigTest, DefaultsFilesAndEnvironment) {
  // A directory without ".ini" files: the defaults.
  WriteFile(cfg_ + "/readme.txt", "[Quillon]\nFileDebugLevel = 3\n[EndOfFile]");
  {
    CDebug trace("Quillon", cfg_.c_str(), default_.c_str());
    EXPECT_EQ(0u, trace.GetLevel() + trace.GetTarget());
    EXPECT_TRUE(Exists(default_ + "/log.quillon"));
    ExpectReaderFindsRing(trace, default_.c_str());
  }
  // The first file holding the section wins; one without end marker is
  // ignored though it sorts first.
  WriteFile(cfg_ + "/0broken.ini", "[Quillon]\nFileDebugLevel = 1\n");
  WriteAppConfig("FileDebugLevel = 0x3\nTraceFlags = 0x20\nMemoryTracesFlag = 0"
                 "\nRingBufferSizeFactor = 7\nNoHeaderToStderr = 0\n", "a.ini");
  WriteAppConfig("FileDebugLevel = 2\n", "b.ini");
  WriteFile(cfg_ + "/global_trace.ini", "[GlobalDebugSettings]\nDynamicUpdate = 30\n[EndOfFile]\n");
  {
    CDebug trace("Quillon", cfg_.c_str(), default_.c_str());
    EXPECT_EQ(3u, trace.GetLevel());
    EXPECT_STREQ(trace_.c_str(), trace.GetTraceDirectory());
    EXPECT_EQ(2u, trace.GetRingBufferFactor());  // limited by Init
    EXPECT_EQ(30u, trace.GetDynamicUpdateSeconds());
    EXPECT_TRUE(trace.IsEnabled());  // no weight: tracing on, without a ring buffer
    EXPECT_EQ(0u, trace.GetTarget());
    ExpectReaderFindsRing(trace, default_.c_str());
  }
  SetEnv("QZ_LOG_DEBUG_LEVEL", "none");
  SetEnv("QZ_LOG_FILE_MAX_SIZE", "4096");
  SetEnv("TraceFileLimit", "1");
  SetEnv("QZ_LOG_RINGBUF_WEIGHT", "3");
  SetEnv("QZ_LOG_RINGBUF_DIR", default_.c_str());
  {
    CDebug trace("Quillon", cfg_.c_str(), nullptr);
    EXPECT_EQ(0u, trace.GetLevel());  // a text without digits gives 0
    EXPECT_EQ(4096u, trace.GetLogMaxSize());
    EXPECT_EQ(3u, trace.GetRingBufferWeight());
    EXPECT_STREQ(default_.c_str(), trace.GetTraceDirectory());
    ExpectReaderFindsRing(trace, nullptr);
  }
  SetEnv("QZ_LOG_DEBUG_LEVEL", nullptr);
  WriteAppConfig("FileDebugLevel = -1\n", "a.ini");  // not configured
  EXPECT_EQ(0u, CDebug("Quillon", cfg_.c_str(), default_.c_str()).GetLevel());

  // An overlong directory is cut and not opened.
  SetEnv("QZ_LOG_RINGBUF_DIR", nullptr);
  std::string dir = root_ + "/" + std::string(299 - root_.size(), 'd');
  WriteFile(cfg_ + "/a.ini", "[Quillon]\nRingBufferDirectory = " + dir + "\n[EndOfFile]\n");
  CDebug trace("Quillon", cfg_.c_str(), nullptr);
  EXPECT_EQ(dir.substr(0, 255), trace.GetTraceDirectory());
  EXPECT_EQ(-1, trace.GetLogFileDescriptor());
  EXPECT_FALSE(Exists(dir.substr(0, 255)));
  std::string path = "kept";
  EXPECT_FALSE(GetTraceRingBufferPath("Quillon", &path, cfg_.c_str(), nullptr));
  EXPECT_EQ("kept", path);
}

TEST_F(DebugTraceConfigTest, RecheckAppliesChangedFiles) {
  SetEnv("QZ_LOG_DEBUG_LEVEL", "1");  // not consulted again
  WriteFile(cfg_ + "/global_trace.ini", "[GlobalDebugSettings]\nDynamicUpdate = 10\n[EndOfFile]\n");
  WriteRingConfig("2", 1, 1);
  CDebug trace("Quillon", cfg_.c_str(), nullptr);
  ASSERT_EQ(2u, trace.GetTarget());
  ASSERT_EQ(1u, trace.GetLevel());

  // The first print after Init re-checks, before its own level test.
  WriteRingConfig("3\nTraceFlags = 9", 1, 1);
  TouchAhead(cfg_ + "/quillon.ini");
  trace.Print(3, "after the change");
  EXPECT_EQ(9u, trace.GetTraceFlags());
  EXPECT_NE(std::string::npos, ReadFile(RingPath()).find("after the change"));

  // -1 arriving through the re-check becomes the level directly.
  CDebug again("Quillon", cfg_.c_str(), nullptr);
  WriteRingConfig("-1", 1, 1);
  TouchAhead(cfg_ + "/quillon.ini", 200);
  again.Print(7, "level seven");
  EXPECT_EQ(0xFFFFFFFFu, again.GetLevel());
  EXPECT_NE(std::string::npos, ReadFile(RingPath()).find("level seven"));
}

}  // namespace
}  // namespace quillon_test
