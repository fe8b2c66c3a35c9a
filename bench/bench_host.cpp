// The cost of the call frame: a cheap function and a cheap command through the
// exports, beside a direct call into a trivial exported function.
#include "bench.h"

void BenchHost(BenchLibrary& lib) {
    const int calls = 200000;
    const int runs = 7;
    HMODULE testlib = LoadLibraryA((BenchDir() + "\\trakx-testlib.dll").c_str());
    auto noop = reinterpret_cast<int(__stdcall*)(int)>(GetProcAddress(testlib, "Noop"));

    volatile int sink = 0;
    double direct = MedianSeconds(runs, [&] {
        for (int i = 0; i < calls; ++i) sink = sink + noop(i);
    }) / calls;

    std::string getint = MakeBlock({"GETINT", "3"});
    double function = MedianSeconds(runs, [&] {
        for (int i = 0; i < calls; ++i) lib.funcProc(getint.data());
    }) / calls;

    std::string setint = MakeBlock({"SETINT", "3", "12345"});
    double command = MedianSeconds(runs, [&] {
        for (int i = 0; i < calls; ++i) lib.commandProc(setint.data());
    }) / calls;

    // The floor beneath the keywords: an export that only answers the status, and
    // the whole frame (split, resets, a walk through the table) with no keyword run.
    double status = MedianSeconds(runs, [&] {
        for (int i = 0; i < calls; ++i) sink = sink + lib.statProc();
    }) / calls;
    std::string unknown = MakeBlock({"NOSUCHWORD", "3"});
    double frame = MedianSeconds(runs, [&] {
        for (int i = 0; i < calls; ++i) lib.funcProc(unknown.data());
    }) / calls;

    Report("direct call of a trivial export", direct * 1e9, "ns/call");
    Report("StatProc", status * 1e9, "ns/call");
    Report("FuncProc of an unknown keyword (the frame alone)", frame * 1e9, "ns/call");
    Report("FuncProc GETINT", function * 1e9, "ns/call");
    Report("CommandProc SETINT", command * 1e9, "ns/call");
    Report("GETINT / direct call", function / direct, "x");
    Report("SETINT / direct call", command / direct, "x");
    FreeLibrary(testlib);
}
