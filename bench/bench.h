// The benchmark's shared frame: the library loaded through its exports, a window for
// it, timing as the median of several runs, and one line of output per figure.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "trakx_host.h"

struct BenchLibrary : TrakxExports {
    HMODULE module = nullptr;
    HWND window = nullptr;

    int Command(const std::vector<std::string>& words) const;
    std::string Function(const std::vector<std::string>& words) const;
};

// Folder of the benchmark program (the library and the test library sit beside it).
std::string BenchDir();
// A scratch folder for the benchmark's files, made on first use.
std::string BenchScratch();

// Seconds of one run of body(), as the median of `runs` runs.
double MedianSeconds(int runs, const std::function<void()>& body);

// Prints one figure: "name: value unit".
void Report(const std::string& name, double value, const std::string& unit);

// Each subsystem's measurements.
void BenchHost(BenchLibrary& lib);
void BenchVars(BenchLibrary& lib);
void BenchDraw(BenchLibrary& lib);
void BenchFiles(BenchLibrary& lib);
void BenchConstants(BenchLibrary& lib);
void BenchCom(BenchLibrary& lib);
