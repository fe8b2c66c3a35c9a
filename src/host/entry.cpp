// The four exported entry points and the library's load/unload notification.
#include <stdlib.h>

#include "args.h"
#include "dispatch.h"
#include "handlers.h"
#include "state.h"
#include "text.h"

ExtensionState g_state;

static const char kReady[] = "KX";
static const char kEmpty[] = "";
static const char kTitle[] = "TRAKX.DLL";
static const char kNoBufferMemory[] =
    "Insufficient memory for buffer.  Try closing programs to free memory, or re-boot "
    "(re-start) your computer.";
static const char kNoClipboardMemory[] =
    "Insufficient memory for clipboard buffer.  Try closing programs to free memory, or "
    "re-boot (re-start) your computer.";

// The host may call with a stack aligned to 4 bytes only; realign on entry.
#define HOST_ENTRY extern "C" __attribute__((force_align_arg_pointer))

// Gathers the window handle's digits from the init text; letters turn test mode on.
// Answers the handle, null when no digits were given.
static HWND ReadInitText(const char* text) {
    HostState& host = g_state.host;
    char* gathered = host.resultBuffer;
    size_t length = 0;
    for (const char* p = text; p && *p; ++p) {
        if (*p == '%') continue;
        if (IsCharAlphaA(*p)) {
            host.testMode = true;
            continue;
        }
        if (length < MaxString - 1) gathered[length++] = *p;
    }
    gathered[length] = '\0';
    return length ? reinterpret_cast<HWND>(atol(gathered)) : nullptr;
}

// Makes whichever of the three heap blocks is missing, in order, stopping at the
// first failure; answers whether all three exist.
static bool AllocateBuffers() {
    FileState& file = g_state.file;
    if (!file.readBuffer) {
        file.readBuffer = static_cast<char*>(malloc(InitialReadBufferBytes));
        file.readBufferBytes = InitialReadBufferBytes;
    }
    if (!file.readBuffer) return false;
    if (!file.rawDataBuffer) {
        file.rawDataBuffer = static_cast<char*>(malloc(InitialRawDataBytes));
        file.rawDataShrunk = false;
    }
    if (!file.rawDataBuffer) return false;
    if (!g_state.host.clipboardBuffer)
        g_state.host.clipboardBuffer = static_cast<char*>(malloc(InitialClipboardBytes));
    return g_state.host.clipboardBuffer != nullptr;
}

HOST_ENTRY const char* __cdecl Init(DWORD /*unused*/, HostCallbackFn callback, const char* initText,
                                    int* maxArgs, int* maxString) {
    HostState& host = g_state.host;
    host.hostCallback = callback;
    *maxArgs = MaxArgs;
    *maxString = MaxString;

    // The first window named stays the library's for good: drawing, menus and the
    // hook that reports their choices all keep to that one window. A later Init
    // only brings its callback (and test mode); it never hooks a second time.
    HWND window = ReadInitText(initText);
    if (window && !host.hostWindow) {
        host.hostWindow = window;
        HookInstall(window);
    }

    // A repeated Init also brings back the read buffer's first size, whatever
    // FILEREADBUFSIZE made of the block in between.
    if (!AllocateBuffers() || !ResizeReadBuffer(InitialReadBufferSize)) {
        MessageBoxA(nullptr, kNoBufferMemory, kTitle, MB_TOPMOST);
        return kEmpty;
    }
    return kReady;
}

// The frame both entry points share: reset the status, split, reset the per-call
// data. Answers false when the clipboard could not be substituted (box shown). The
// script's last-error code must survive the frame for GETLASTERROR: the steps that
// call the system keep it themselves, so the usual call asks the system nothing.
static bool BeginCall(const char* block) {
    g_state.host.statusCode = StatusOk;
    if (SplitArguments(block) != StatusOk) {
        MessageBoxA(nullptr, kNoClipboardMemory, kTitle, MB_TOPMOST);
        return false;
    }
    ResetForCall();
    return true;
}

HOST_ENTRY int __cdecl CommandProc(const char* block) {
    if (!BeginCall(block)) return g_state.host.statusCode;
    return DispatchCommand();
}

HOST_ENTRY const char* __cdecl FuncProc(const char* block) {
    if (!BeginCall(block)) return kEmpty;
    CallDataReset();
    return DispatchFunction();
}

HOST_ENTRY int __cdecl StatProc() { return g_state.host.statusCode; }

static void Unload() {
    free(g_state.file.readBuffer);
    free(g_state.host.clipboardBuffer);
    free(g_state.file.rawDataBuffer);
    g_state.file.readBuffer = g_state.host.clipboardBuffer = g_state.file.rawDataBuffer = nullptr;
    g_state.file.rawDataShrunk = false;
    FilesCloseAtUnload();
    TypedCallsReleaseAtUnload();
    CallbacksAtUnload();
    SurfaceRelease();
    HookReleaseAtUnload();
    if (g_state.host.testMode) MessageBoxA(nullptr, "DLL Unloading", "TRAKX.DLL test mode", MB_TOPMOST);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_state.host.processorHasSse = IsProcessorFeaturePresent(PF_XMMI_INSTRUCTIONS_AVAILABLE);
        CallbacksAtLoad();
        InterfacesAtLoad();
    }
    if (reason == DLL_PROCESS_DETACH) {
        // Objects first: a server going away may still post to the host window.
        ComAtUnload(reserved != nullptr);
        Unload();
    }
    return TRUE;
}
