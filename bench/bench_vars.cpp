// Measurements of this subsystem are added with its keywords.
#include "bench.h"

void BenchVars(BenchLibrary&) {}
