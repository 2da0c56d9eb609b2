// The process's one trace object, built before main and destroyed after it.
// Kept in a file of its own so that only programs that trace (they refer to
// `Debug`) link it: a tool that merely reads the trace (pxtool) must not
// open, empty or write the trace files by being started.

#include "cdebug.h"

CDEBUG Debug("Quillon");
