// What a host needs to drive TRAKX.dll: the four entry points' signatures, loading
// them from the module, and building an argument block. Shared by the reference
// host, the tests and the benchmark.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

typedef void(__cdecl* HostCallbackFn)(const char* eventName);
typedef const char*(__cdecl* InitFn)(DWORD unused, HostCallbackFn callback, const char* initText, int* maxArgs,
                                     int* maxString);
typedef int(__cdecl* CommandFn)(const char* block);
typedef const char*(__cdecl* FunctionFn)(const char* block);
typedef int(__cdecl* StatusFn)();

struct TrakxExports {
    InitFn init = nullptr;
    CommandFn commandProc = nullptr;
    FunctionFn funcProc = nullptr;
    StatusFn statProc = nullptr;
};

// Looks the four entry points up in a loaded TRAKX.dll; answers whether all exist.
inline bool LoadTrakxExports(HMODULE module, TrakxExports* exports) {
    exports->init = reinterpret_cast<InitFn>(GetProcAddress(module, "Init"));
    exports->commandProc = reinterpret_cast<CommandFn>(GetProcAddress(module, "CommandProc"));
    exports->funcProc = reinterpret_cast<FunctionFn>(GetProcAddress(module, "FuncProc"));
    exports->statProc = reinterpret_cast<StatusFn>(GetProcAddress(module, "StatProc"));
    return exports->init && exports->commandProc && exports->funcProc && exports->statProc;
}

// A host argument block: each word NUL-terminated, then an empty text.
inline std::string MakeBlock(const std::vector<std::string>& words) {
    std::string block;
    for (const std::string& word : words) {
        block += word;
        block += '\0';
    }
    block.append(2, '\0');
    return block;
}
