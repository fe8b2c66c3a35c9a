// trakx-bench [section...]: times the library through its four exports.
// Sections: host vars draw files consts com (all when none is named).
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "bench.h"

int BenchLibrary::Command(const std::vector<std::string>& words) const {
    std::string block = MakeBlock(words);
    return commandProc(block.data());
}

std::string BenchLibrary::Function(const std::vector<std::string>& words) const {
    std::string block = MakeBlock(words);
    return funcProc(block.data());
}

std::string BenchDir() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/"));
}

std::string BenchScratch() {
    std::string dir = BenchDir() + "\\bench-scratch";
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
}

double MedianSeconds(int runs, const std::function<void()>& body) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        body();
        QueryPerformanceCounter(&end);
        times.push_back(double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void Report(const std::string& name, double value, const std::string& unit) {
    printf("%-58s %12.3f %s\n", (name + ":").c_str(), value, unit.c_str());
    fflush(stdout);
}

static LRESULT CALLBACK BenchWindowProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    return DefWindowProcA(w, m, wp, lp);
}

static HWND MakeWindow() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = BenchWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "TrakxBenchWindow";
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    RegisterClassA(&wc);
    return CreateWindowA(wc.lpszClassName, "TRAKX bench", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 20, 20, 640, 480,
                         nullptr, nullptr, wc.hInstance, nullptr);
}

int main(int argc, char** argv) {
    BenchLibrary lib;
    lib.window = MakeWindow();
    lib.module = LoadLibraryA((BenchDir() + "\\TRAKX.dll").c_str());
    if (!lib.module) {
        fprintf(stderr, "trakx-bench: TRAKX.dll not found beside the program\n");
        return 1;
    }
    if (!LoadTrakxExports(lib.module, &lib)) {
        fprintf(stderr, "trakx-bench: TRAKX.dll lacks its entry points\n");
        return 1;
    }
    int maxArgs, maxString;
    std::string initText = std::to_string(reinterpret_cast<UINT_PTR>(lib.window));
    lib.init(0, nullptr, initText.c_str(), &maxArgs, &maxString);

    struct Section {
        const char* name;
        void (*run)(BenchLibrary&);
    } sections[] = {{"host", BenchHost}, {"vars", BenchVars}, {"draw", BenchDraw}, {"files", BenchFiles},
                   {"consts", BenchConstants}, {"com", BenchCom}};
    for (const Section& s : sections) {
        bool wanted = argc < 2;
        for (int i = 1; i < argc; ++i) wanted = wanted || strcmp(argv[i], s.name) == 0;
        if (!wanted) continue;
        printf("== %s\n", s.name);
        s.run(lib);
    }
    FreeLibrary(lib.module);
    DestroyWindow(lib.window);
    return 0;
}
