// Suite-wide trace object. (Placeholder until the trace facility lands:
// tracing is off, every entry point is a no-op.)

#ifndef INCLUDE_LINUX_CDEBUG_H_
#define INCLUDE_LINUX_CDEBUG_H_

class CDebug {
 public:
  CDebug() {}
  explicit CDebug(const char* /*pApplicationName*/) {}
  virtual ~CDebug() {}
  bool IsEnabled() const { return m_Enabled; }
  virtual void Print(unsigned /*MsgLevel*/, const char* /*pFormat*/, ...)
      __attribute__((format(printf, 3, 4))) {}

 private:
  bool m_Enabled = false;
};

typedef CDebug CDEBUG;

// The process's one trace object, built before main with the application
// name "Quillon".
extern CDEBUG Debug;

#endif  // INCLUDE_LINUX_CDEBUG_H_
