// Trace configuration: the configured-value rule, the first reading of the
// configuration directory and the environment (ReadDebugConfig), the
// re-check of changed files, and the two name tables of the header block.
//
// Priority: environment variable, then the configuration file, then the
// built-in default. The configuration directory holds "global_trace.ini"
// (section "GlobalDebugSettings", key "DynamicUpdate") and a section named
// after the application in any ".ini" file; the alphabetically first file
// holding that section wins. The choice of that file and of the trace
// directory is debug_trace_path.cc's, shared with the readers of the trace.

#include <cstdlib>
#include <cstring>

#include "cdebug.h"
#include "debug_trace_path.h"

tokval_t TokValTabEnv[42] = {
    {"LD_LIBRARY_PATH", nullptr},
    {"QZ_SYSTEM", nullptr},
    {"QZ_OS", nullptr},
    {"QZ_OS_MAJOR", nullptr},
    {"QZ_OS_MINOR", nullptr},
    {"QZ_VVOS", nullptr},
    {"QZ_RELEASE", nullptr},
    {"QZ_VENDOR", nullptr},
    {"QZ_HOSTNAME", nullptr},
    {"QZ_HOSTOSREVMAJOR", nullptr},
    {"QZ_HOSTOSREVMINOR", nullptr},
    {"QZ_SYSNAME", nullptr},
    {"QZ_VERSION", nullptr},
    {"QZ_NICKNAME", nullptr},
    {"QZ_HWPLATFORM", nullptr},
    {"QZ_RUNNINGONVM", nullptr},
    {"QZ_RUNNINGONPAN", nullptr},
    {"QZ_VMREL", nullptr},
    {"QZ_ARCH", nullptr},
    {"QZ_REPO", nullptr},
    {"QZ_RAID_EXISTS", nullptr},
    {"QZ_RAID_READY", nullptr},
    {"QZ_RAID_VERSION", nullptr},
    {"QZ_INSTALL_DATE", nullptr},
    {"QZ_USE_SG_IO_HDR_T", nullptr},
    {"QZ_AGENT_X_SOCKET", nullptr},
    {"QZ_HUBD_REPLY_TIME", nullptr},
    {"QZ_DAEMON_COREFILE_LIMIT", nullptr},
    {"QZ_VME_WAIT_TIME_FOR_VMSERVER", nullptr},
    {"QZ_TRV_PROVIDER_TRACE", nullptr},
    {"QZ_TRV_NOSIGNAL", nullptr},
    {"QZ_LOG_DYNAMIC_UPDATE", nullptr},
    {"QZ_TRV_DEBUG_LEVEL", nullptr},
    {"QZ_LOG_FILE_DIR", nullptr},
    {"QZ_LOG_FILE_MAX_SIZE", nullptr},
    {"QZ_LOG_RINGBUF_DIR", nullptr},
    {"QZ_LOG_DEBUG_LEVEL", nullptr},
    {"QZ_LOG_RINGBUF_WEIGHT", nullptr},
    {"QZ_LOG_NOHDR_TOSDTERR", nullptr},
    {"WQA_QZ_HOME", nullptr},
    {"WQA_SYSLOG_FIFO", nullptr},
    {nullptr, nullptr},
};

tokval_t TokValTabCfg[14] = {
    {"AgentPermission", nullptr},
    {"AgentShut", nullptr},
    {"ShutdownDelay", nullptr},
    {"UserGroup", nullptr},
    {"ScanTapeDevices", nullptr},
    {"TraceFileLimit", nullptr},
    {"NoAccountCheck", nullptr},
    {"InventoryRescan", nullptr},
    {"CDPollInterval", nullptr},
    {"AgentsToBeStarted", nullptr},
    {"WaitForHubdSockets", nullptr},
    {"WaitForHubdTerm", nullptr},
    {"InvAgtPollNetUtilization", nullptr},
    {nullptr, nullptr},
};

namespace {

const char kGlobalConfigFile[] = "global_trace.ini";
const char kGlobalSection[] = "GlobalDebugSettings";
const unsigned kNotConfigured = 0xFFFFFFFF;

}  // namespace

void CDebugTraceConfig::SetConfiguredValue(const char* pEnvName,
                                           unsigned configured,
                                           unsigned defaultValue,
                                           unsigned* pValue) {
  if (pValue == nullptr) return;
  const char* env = pEnvName != nullptr ? getenv(pEnvName) : nullptr;
  if (env != nullptr) {
    *pValue = static_cast<unsigned>(strtoll(env, nullptr, 10));
  } else if (configured != kNotConfigured) {
    *pValue = configured;
  } else {
    *pValue = defaultValue;
  }
}

void CDebugTraceConfig::SetConfiguredValue(const char* pEnvName,
                                           const char* pConfigured,
                                           const char* pDefault,
                                           char* pValue, size_t size) {
  SetConfiguredText(pEnvName, pConfigured, pDefault, pValue, size);
}

bool CDebug::ReadDebugConfig(const char* pApplicationName) {
  const char* section = pApplicationName != nullptr ? pApplicationName : "";

  m_RegRingBufDir[0] = '\0';
  m_RegTraceFileFactor = kNotConfigured;
  m_RegTraceFileWeight = kNotConfigured;
  m_RegNoHeaderToStderr = kNotConfigured;
  m_MemoryTracesFlag = kNotConfigured;

  m_DebugGlobalConfigFile.CloseSectionInIniFile();
  if (m_DebugGlobalConfigFile.OpenSectionInIniFile(
          m_ConfigDir, kGlobalConfigFile, kGlobalSection)) {
    m_DebugGlobalConfigFile.GetNumberFromIniFile("DynamicUpdate",
                                                 m_IniDynamicUpdateSeconds);
  }
  SetConfiguredValue("QZ_LOG_DYNAMIC_UPDATE", m_IniDynamicUpdateSeconds, 0,
                     &m_DynamicUpdateSeconds);

  // A directory that cannot be read, and one without ".ini" files, both
  // leave the section closed: environment values and defaults then apply.
  CDebugTraceConfigFile& file = m_DebugConfigFile;
  if (OpenApplicationSection(m_ConfigDir, section, &file)) {
    ReadConfiguredTraceDirectory(&file, m_RegRingBufDir, sizeof(m_RegRingBufDir));
    file.GetNumberFromIniFile("FileDebugLevel", m_RegDebugLevel);
    file.GetNumberFromIniFile("TraceFlags", m_TraceFlags);
    file.GetNumberFromIniFile("RingBufferSizeFactor", m_RegTraceFileFactor);
    file.GetNumberFromIniFile("RingBufferSizeWeight", m_RegTraceFileWeight);
    file.GetNumberFromIniFile("NoHeaderToStderr", m_RegNoHeaderToStderr);
    file.GetNumberFromIniFile("MemoryTracesFlag", m_MemoryTracesFlag);
  }

  ChooseTraceDirectory(m_RegRingBufDir, m_DefaultRingBufDir, m_RingBufDir,
                       sizeof(m_RingBufDir));
  SetConfiguredValue("QZ_LOG_FILE_MAX_SIZE", m_LogMaxSize, 51200,
                     &m_LogMaxSize);
  SetConfiguredValue("QZ_LOG_DEBUG_LEVEL", m_RegDebugLevel, 0, &m_Level);
  // The factor's variable carries the name of the suite setting.
  SetConfiguredValue("TraceFileLimit", m_RegTraceFileFactor, 0,
                     &m_RingBufFactor);
  SetConfiguredValue("QZ_LOG_RINGBUF_WEIGHT", m_RegTraceFileWeight, 0,
                     &m_RingBufWeight);
  SetConfiguredValue("QZ_LOG_NOHDR_TOSDTERR", m_RegNoHeaderToStderr, 1,
                     &m_NoHeaderToStderr);
  m_LevelSaved = m_Level;
  return true;
}

void CDebug::RecheckDebugConfig() {
  if (m_DebugGlobalConfigFile.IsOpen() &&
      m_DebugGlobalConfigFile.IsIniFileModified()) {
    if (m_DebugGlobalConfigFile.OpenSectionInIniFile(nullptr, nullptr,
                                                     kGlobalSection)) {
      if (m_DebugGlobalConfigFile.GetNumberFromIniFile(
              "DynamicUpdate", m_IniDynamicUpdateSeconds)) {
        m_DynamicUpdateSeconds = m_IniDynamicUpdateSeconds;
      }
    }
  }

  CDebugTraceConfigFile& file = m_DebugConfigFile;
  if (file.IsOpen() && file.IsIniFileModified()) {
    const char* section = m_pAppName != nullptr ? m_pAppName : "";
    if (file.OpenSectionInIniFile(nullptr, nullptr, section)) {
      unsigned level;
      if (file.GetNumberFromIniFile("FileDebugLevel", level)) {
        m_RegDebugLevel = level;
        m_Level = level;
        m_LevelSaved = level;
      }
      file.GetNumberFromIniFile("TraceFlags", m_TraceFlags);
      file.GetNumberFromIniFile("MemoryTracesFlag", m_MemoryTracesFlag);
    }
  }
}
