// The window procedure put in front of the host window's own: menu choices become
// host callbacks, everything is passed on to the procedure it replaced.
#include "../host/handlers.h"
#include "../host/state.h"

void HookInstall(HWND window) {
    MenuState& menu = g_state.menu;
    menu.hookedWindow = window;
    menu.previousWindowProc = reinterpret_cast<WNDPROC>(
        SetWindowLongA(window, GWL_WNDPROC, reinterpret_cast<LONG>(HookWindowProc)));
}

// Puts the previous procedure back, but only while ours is still the one installed:
// a procedure installed on top of ours later would otherwise be cut out.
static void HookRemove(HWND window) {
    MenuState& menu = g_state.menu;
    if (!menu.previousWindowProc) return;
    if (GetWindowLongA(window, GWL_WNDPROC) == reinterpret_cast<LONG>(HookWindowProc))
        SetWindowLongA(window, GWL_WNDPROC, reinterpret_cast<LONG>(menu.previousWindowProc));
}

void HookReleaseAtUnload() {
    MenuState& menu = g_state.menu;
    if (menu.hookedWindow && IsWindow(menu.hookedWindow)) HookRemove(menu.hookedWindow);
}

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
    if (message == WM_DESTROY) {
        HookRemove(window);
        g_state.menu.hookedWindow = nullptr;
    }
    if (message == WM_COMMAND) ReportMenuChoice(wParam);
    return CallWindowProcA(previous, window, message, wParam, lParam);
}
