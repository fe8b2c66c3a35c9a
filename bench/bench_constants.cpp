// The system's constants by name: a typed call given names beside the same call given
// numbers (the name look-up per argument), DLLCONST both ways, and a refused near miss
// (the search for the nearest names).
#include "bench.h"

void BenchConstants(BenchLibrary& lib) {
    const int calls = 100000;
    const int runs = 7;
    lib.Command({"DLLLOAD", "1", BenchDir() + "\\trakx-testlib.dll"});
    lib.Command({"DLLDECLARE", "1", "1", "int Sum3(int a, int b, int c)"});
    auto timeBlock = [&](const std::string& block, int count) {
        return MedianSeconds(runs, [&] {
            for (int i = 0; i < count; ++i) lib.funcProc(block.data());
        }) / count;
    };
    double numbers = timeBlock(MakeBlock({"DLLCALL", "1", "48", "12", "1"}), calls);
    double names = timeBlock(MakeBlock({"DLLCALL", "1", "MB_ICONWARNING", "WM_SETTEXT", "SW_SHOWNORMAL"}), calls);
    double combined = timeBlock(MakeBlock({"DLLCALL", "1", "MB_OKCANCEL|MB_ICONWARNING|MB_TOPMOST", "0", "0"}), calls);
    double byName = timeBlock(MakeBlock({"DLLCONST", "WS_OVERLAPPEDWINDOW"}), calls);
    double byValue = timeBlock(MakeBlock({"DLLCONST", "5", "ERROR_"}), calls / 100);
    double nearMiss = timeBlock(MakeBlock({"DLLCALL", "1", "MB_ICONWARNNG", "0", "0"}), calls / 100);
    double getint = timeBlock(MakeBlock({"GETINT", "3"}), calls);

    Report("DLLCALL Sum3 48 12 1 (numbers)", numbers * 1e9, "ns/call");
    Report("DLLCALL Sum3 MB_ICONWARNING WM_SETTEXT SW_SHOWNORMAL", names * 1e9, "ns/call");
    Report("  one name looked up (the difference / 3)", (names - numbers) / 3 * 1e9, "ns/name");
    Report("DLLCALL Sum3 MB_OKCANCEL|MB_ICONWARNING|MB_TOPMOST 0 0", combined * 1e9, "ns/call");
    Report("? DLLCONST WS_OVERLAPPEDWINDOW", byName * 1e9, "ns/call");
    Report("? DLLCONST WS_OVERLAPPEDWINDOW - GETINT (the look-up)", (byName - getint) * 1e9, "ns/call");
    Report("? DLLCONST 5 ERROR_ (a walk of the table)", byValue * 1e6, "us/call");
    Report("DLLCALL Sum3 MB_ICONWARNNG 0 0 (refused, nearest names)", nearMiss * 1e6, "us/call");
    lib.Command({"DLLUNLOAD", "1"});
}
