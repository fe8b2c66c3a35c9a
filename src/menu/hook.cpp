// The window procedure put in front of the host window's own: menu choices become
// host callbacks, everything is passed on to the procedure it replaced.
//
// The window does not point at HookWindowProc itself but at a small stub outside
// the library that jumps to it. When the library is unloaded while another
// procedure sits on top of ours, that procedure still calls ours for every message;
// the stub is then rewritten to hand the message straight to the procedure we
// replaced, so the chain stays whole and nothing calls into the unloaded library.
#include <string.h>

#include "../host/handlers.h"
#include "../host/state.h"

// mov eax, target ; jmp eax
static const unsigned char kJumpCode[] = {0xB8, 0, 0, 0, 0, 0xFF, 0xE0};
constexpr int JumpTargetAt = 1;
// pop eax ; push previous ; push eax ; mov eax, CallWindowProcA ; jmp eax
// The return address is taken off, the previous procedure pushed as the first
// argument and the return address put back, so CallWindowProcA (which removes its
// five arguments) returns to the caller with the caller's four arguments removed.
static const unsigned char kForwardCode[] = {0x58, 0x68, 0, 0, 0, 0, 0x50, 0xB8, 0, 0, 0, 0, 0xFF, 0xE0};
constexpr int ForwardPreviousAt = 2;
constexpr int ForwardCallAt = 8;
static_assert(sizeof(kForwardCode) <= HookStubBytes && sizeof(kJumpCode) <= HookStubBytes,
              "the stub holds either code");

static void PutAddress(unsigned char* at, const void* address) { memcpy(at, &address, sizeof(address)); }

static void WriteStub(const unsigned char* code, size_t size) {
    unsigned char* stub = g_state.menu.hookStub;
    memcpy(stub, code, size);
    FlushInstructionCache(GetCurrentProcess(), stub, HookStubBytes);
}

void HookInstall(HWND window) {
    MenuState& menu = g_state.menu;
    menu.hookStub = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, HookStubBytes, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
    if (!menu.hookStub) return;  // no hook: menus still work, choices are not reported
    unsigned char code[sizeof(kJumpCode)];
    memcpy(code, kJumpCode, sizeof(code));
    PutAddress(code + JumpTargetAt, reinterpret_cast<const void*>(HookWindowProc));
    WriteStub(code, sizeof(code));

    menu.hookedWindow = window;
    menu.previousWindowProc = reinterpret_cast<WNDPROC>(
        SetWindowLongA(window, GWL_WNDPROC, reinterpret_cast<LONG>(menu.hookStub)));
}

static bool HookOnTop(HWND window) {
    return GetWindowLongA(window, GWL_WNDPROC) == reinterpret_cast<LONG>(g_state.menu.hookStub);
}

// Puts the previous procedure back, but only while ours is still the one installed:
// a procedure installed on top of ours later would otherwise be cut out.
static bool HookRemove(HWND window) {
    MenuState& menu = g_state.menu;
    if (!menu.previousWindowProc || !HookOnTop(window)) return false;
    SetWindowLongA(window, GWL_WNDPROC, reinterpret_cast<LONG>(menu.previousWindowProc));
    return true;
}

// At unload: take the hook out when it is on top; otherwise leave the chain alone
// and turn the stub into a plain pass-through that outlives the library.
void HookReleaseAtUnload() {
    MenuState& menu = g_state.menu;
    if (!menu.hookStub) return;
    bool windowAlive = menu.hookedWindow && IsWindow(menu.hookedWindow);
    if (windowAlive && !HookRemove(menu.hookedWindow)) {
        unsigned char code[sizeof(kForwardCode)];
        memcpy(code, kForwardCode, sizeof(code));
        PutAddress(code + ForwardPreviousAt, reinterpret_cast<const void*>(menu.previousWindowProc));
        PutAddress(code + ForwardCallAt, reinterpret_cast<const void*>(CallWindowProcA));
        WriteStub(code, sizeof(code));
    } else {
        VirtualFree(menu.hookStub, 0, MEM_RELEASE);
    }
    menu.hookStub = nullptr;
}

// Only identifiers of items that can exist (IdFactor + 1 to IdFactor + 100, compared
// unsigned so a negative factor matches nothing) reach the host, and only when the
// host gave a callback.
static void ReportMenuChoice(WPARAM wParam) {
    MenuState& menu = g_state.menu;
    unsigned identifier = LOWORD(wParam);
    unsigned base = static_cast<unsigned>(menu.idFactor);
    if (identifier <= base || identifier - base > MenuCount) return;
    if (g_state.host.hostCallback) g_state.host.hostCallback(menu.menuNames[identifier - base]);
}

__attribute__((force_align_arg_pointer)) LRESULT CALLBACK HookWindowProc(HWND window, UINT message,
                                                                         WPARAM wParam, LPARAM lParam) {
    WNDPROC previous = g_state.menu.previousWindowProc;
    if (message == WM_DESTROY && HookRemove(window)) g_state.menu.hookedWindow = nullptr;
    if (message == WM_COMMAND) ReportMenuChoice(wParam);
    // A callback's event, posted by the library itself: reported, not passed on.
    if (CallbackEventMessage(message)) return CallbackReportEvent(wParam, lParam), 0;
    if (ComEventMessage(message)) return ComReportEvent(wParam, lParam), 0;
    return CallWindowProcA(previous, window, message, wParam, lParam);
}
