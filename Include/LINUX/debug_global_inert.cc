// The trace object for every program that links the library but is not
// Quillon itself: the tests, the fuzz targets, the benchmarks and pxtool.
//
// The library's code writes its traces to the global `Debug`, so these
// programs need one. The real one (debug_global.cc) reads the machine's
// trace configuration and empties the machine's trace log at start; a test
// run, a fuzzer or a benchmark must never do that, and a tool that merely
// reads the trace (pxtool) must not change it by being started. This object
// is built with the default constructor: no name, level 0, no target, and
// it never opens, creates or empties a file. Tests that trace build objects
// of their own on temporary directories.

#include "cdebug.h"

CDEBUG Debug;
