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

// The system's message text for an error code, as GETLASTERROR answers it.
inline std::string SystemText(DWORD code) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = text ? text : "";
    if (text) LocalFree(text);
    return result;
}

// Whether a window being activated is a message box; if so, its caption and text.
// Hosts watch for boxes with a WH_CBT hook (HCBT_ACTIVATE) so a box never waits.
inline bool ReadMessageBox(HWND window, std::string* caption, std::string* text) {
    char className[32] = "", captionText[256] = "", bodyText[1024] = "";
    GetClassNameA(window, className, sizeof className);
    if (lstrcmpA(className, "#32770") != 0) return false;
    GetWindowTextA(window, captionText, sizeof captionText);
    GetDlgItemTextA(window, 0xFFFF, bodyText, sizeof bodyText);
    *caption = captionText;
    *text = bodyText;
    return true;
}
