// A library of our own that scripts call into during tests and the benchmark.
#include <windows.h>

extern "C" int __stdcall Noop(int value) { return value; }
