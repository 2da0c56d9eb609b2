// The trace object of the programs that run the run's code in-process: the
// tests, the fuzz targets and the benchmarks. The run's code traces to the
// global `Debug`; Quillon's own one (Include/LINUX/debug_global.cc) reads
// the machine's trace configuration and empties the machine's trace log at
// start, which none of these programs may do. This one is built with the
// default constructor: no name, level 0, no target, and it never opens,
// creates or empties a file. Tests that trace build objects of their own on
// temporary directories. pxtool links no code that traces, and needs none.

#include "cdebug.h"

CDEBUG Debug;
