// The headers whose integer constants the library knows by name: the window, base,
// NT, GDI, error-code, common-controls, shell, registry, COM and automation headers
// and what they include. Sockets first, as the system's headers ask.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winerror.h>
#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <objbase.h>
#include <oleauto.h>
#include <olectl.h>
#include <winternl.h>
#include <tlhelp32.h>
#include <psapi.h>
#include <mmsystem.h>
