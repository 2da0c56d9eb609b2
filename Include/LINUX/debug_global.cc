// The process's one trace object for the Quillon executables, built before
// main and destroyed after it. Linked only into those (see CMakeLists.txt);
// every other program that links the library gets the inert object of
// debug_global_inert.cc, so that neither a test run nor a tool that merely
// reads the trace (pxtool) opens, empties or writes the trace files.

#include "cdebug.h"

CDEBUG Debug("Quillon");
