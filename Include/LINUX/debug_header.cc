// The header block: how the process was started and how its trace object
// is set up, written as ordinary entries into the trace itself (into the
// ring buffer when it is created and at every wrap), and the command-line
// lines of SetMainParams.
//
// Numbers print with "%d", so values never configured (0xFFFFFFFF) show as
// -1 and the ring-buffer size as its low 32 bits.

#include <cstdlib>

#include "cdebug.h"

namespace {

const char* ValueOrNotSet(const char* value) {
  return value != nullptr ? value : "NotSet";
}

const char* ArgumentOrNull(char** argv, int i) {
  return argv != nullptr && argv[i] != nullptr ? argv[i] : "(null)";
}

}  // namespace

void CDebug::WriteLogHeader(unsigned Target) {
  const char* name = m_pAppName != nullptr ? m_pAppName : "";
  if (m_MyArgc > 0) {
    PrintIt(Target, "\n%s Command Line Options:", name);
    for (int i = 0; i < m_MyArgc; ++i) {
      PrintIt(Target, "\nargv[%d] = \"%s\"", i, ArgumentOrNull(m_MyArgv, i));
    }
  }

  PrintIt(Target, "\nKelvane Environment:");
  for (const tokval_t* row = TokValTabEnv; row->pToken != nullptr; ++row) {
    PrintIt(Target, "\n%s=%s", row->pToken, ValueOrNotSet(row->pValue));
  }
  char weight_name[48] = "QZ_LOG_RINGBUF_WEIGHT";
  BuildAppVarName(weight_name, sizeof(weight_name), m_pAppName);
  PrintIt(Target, "\n%s=%s", weight_name, ValueOrNotSet(getenv(weight_name)));

  PrintIt(Target, "\nKelvane Configuration File:");
  for (const tokval_t* row = TokValTabCfg; row->pToken != nullptr; ++row) {
    PrintIt(Target, "\n%s=%s", row->pToken, ValueOrNotSet(row->pValue));
  }

  PrintIt(Target, "\nDebug values from ini file :");
  PrintIt(Target, "\nDynamicUpdate              : %d",
          static_cast<int>(m_IniDynamicUpdateSeconds));
  PrintIt(Target, "\nDebugLevel                 : %d",
          static_cast<int>(m_RegDebugLevel));
  PrintIt(Target, "\nRingBufferSizeFactor       : %d",
          static_cast<int>(m_RegTraceFileFactor));
  PrintIt(Target, "\nRingBufferSizeWeight       : %d",
          static_cast<int>(m_RegTraceFileWeight));
  PrintIt(Target, "\nRingBufferDirectory        : %s", m_RegRingBufDir);
  PrintIt(Target, "\nNo Header to LogFile       : %d",
          static_cast<int>(m_RegNoHeaderToStderr));

  PrintIt(Target, "\nInternal Debug values      :");
  PrintIt(Target, "\nProcess PID                : %d",
          static_cast<int>(m_mypid));
  PrintIt(Target, "\nTrace Target               : %d",
          static_cast<int>(m_Target));
  PrintIt(Target, "\nTrace Level                : %d",
          static_cast<int>(m_Level));
  PrintIt(Target, "\nTrace Level Saved          : %d",
          static_cast<int>(m_LevelSaved));
  PrintIt(Target, "\nApplication Init Done      : %d",
          m_ApplicationInitDone ? 1 : 0);
  PrintIt(Target, "\nLogFile Path               : %s", m_LogFilePath);
  PrintIt(Target, "\nLogFile Max Size           : %d",
          static_cast<int>(m_LogMaxSize));
  PrintIt(Target, "\nRing Buffer FD             : %d", m_RingBufFD);
  PrintIt(Target, "\nRing Buffer Factor         : %d",
          static_cast<int>(m_RingBufFactor));
  PrintIt(Target, "\nRing Buffer Weight         : %d",
          static_cast<int>(m_RingBufWeight));
  PrintIt(Target, "\nRing Buffer Size           : %d",
          static_cast<int>(static_cast<unsigned>(m_RingBufSize)));
  PrintIt(Target, "\nRing Buffer Directory      : %s", m_RingBufDir);
  PrintIt(Target, "\nRing Buffer Path           : %s", m_RingBufFilePath);
  PrintIt(Target, "\nNo Header to LogFile       : %d",
          static_cast<int>(m_NoHeaderToStderr));
  PrintIt(Target, "\n# End of header.");
}

void CDebug::SetMainParams(int argc, char** argv) {
  CCriticalSectionGuard guard(m_SpinLockDebug);
  m_MyArgc = argc;
  m_MyArgv = argv;
  if (argc <= 0) return;
  const bool to_ring = m_Target == TRACE_TARGET_RINGBUFFER;
  const char* name = m_pAppName != nullptr ? m_pAppName : "";
  PrintIt(TRACE_TARGET_LOGFILE, "\n%s Command Line Options:", name);
  if (to_ring) {
    PrintIt(TRACE_TARGET_RINGBUFFER, "\n%s Command Line Options:", name);
  }
  for (int i = 0; i < argc; ++i) {
    const char* arg = ArgumentOrNull(argv, i);
    PrintIt(TRACE_TARGET_LOGFILE, "\nargv[%d] = \"%s\"", i, arg);
    if (to_ring) PrintIt(TRACE_TARGET_RINGBUFFER, "\nargv[%d] = \"%s\"", i, arg);
  }
}
