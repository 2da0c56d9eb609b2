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

  // One value a line: its label padded to 27 columns, ": ", the value.
  auto number = [&](const char* label, unsigned value) {
    PrintIt(Target, "\n%-27s: %d", label, static_cast<int>(value));
  };
  auto text = [&](const char* label, const char* value) {
    PrintIt(Target, "\n%-27s: %s", label, value);
  };
  PrintIt(Target, "\nDebug values from ini file :");
  number("DynamicUpdate", m_IniDynamicUpdateSeconds);
  number("DebugLevel", m_RegDebugLevel);
  number("RingBufferSizeFactor", m_RegTraceFileFactor);
  number("RingBufferSizeWeight", m_RegTraceFileWeight);
  text("RingBufferDirectory", m_RegRingBufDir);
  number("No Header to LogFile", m_RegNoHeaderToStderr);

  PrintIt(Target, "\nInternal Debug values      :");
  number("Process PID", static_cast<unsigned>(m_mypid));
  number("Trace Target", m_Target);
  number("Trace Level", m_Level);
  number("Trace Level Saved", m_LevelSaved);
  number("Application Init Done", m_ApplicationInitDone ? 1 : 0);
  text("LogFile Path", m_LogFilePath);
  number("LogFile Max Size", m_LogMaxSize);
  number("Ring Buffer FD", static_cast<unsigned>(m_RingBufFD));
  number("Ring Buffer Factor", m_RingBufFactor);
  number("Ring Buffer Weight", m_RingBufWeight);
  number("Ring Buffer Size", static_cast<unsigned>(m_RingBufSize));
  text("Ring Buffer Directory", m_RingBufDir);
  text("Ring Buffer Path", m_RingBufFilePath);
  number("No Header to LogFile", m_NoHeaderToStderr);
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
