// Saves a picture of a window's client area as PNG through GDI+.
#include <windows.h>
#include <gdiplus.h>

#include "host.h"

static bool PngEncoder(CLSID* clsid) {
    UINT count = 0, bytes = 0;
    if (Gdiplus::DllExports::GdipGetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || !bytes) return false;
    std::vector<BYTE> buffer(bytes);
    auto codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    if (Gdiplus::DllExports::GdipGetImageEncoders(count, bytes, codecs) != Gdiplus::Ok) return false;
    for (UINT i = 0; i < count; ++i)
        if (lstrcmpiW(codecs[i].MimeType, L"image/png") == 0) {
            *clsid = codecs[i].Clsid;
            return true;
        }
    return false;
}

bool SaveClientPicture(HWND window, const std::string& path) {
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return false;

    RECT client;
    GetClientRect(window, &client);
    HDC windowDC = GetDC(window);
    HDC memoryDC = CreateCompatibleDC(windowDC);
    HBITMAP bitmap = CreateCompatibleBitmap(windowDC, client.right, client.bottom);
    HGDIOBJ previous = SelectObject(memoryDC, bitmap);
    BitBlt(memoryDC, 0, 0, client.right, client.bottom, windowDC, 0, 0, SRCCOPY);
    SelectObject(memoryDC, previous);
    DeleteDC(memoryDC);
    ReleaseDC(window, windowDC);

    bool saved = false;
    CLSID png;
    Gdiplus::GpBitmap* image = nullptr;
    if (PngEncoder(&png) &&
        Gdiplus::DllExports::GdipCreateBitmapFromHBITMAP(bitmap, nullptr, &image) == Gdiplus::Ok) {
        std::wstring wide(path.size() + 1, L'\0');
        int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
        wide.resize(n > 0 ? n - 1 : 0);
        saved = Gdiplus::DllExports::GdipSaveImageToFile(image, wide.c_str(), &png, nullptr) == Gdiplus::Ok;
        Gdiplus::DllExports::GdipDisposeImage(image);
    }
    DeleteObject(bitmap);
    Gdiplus::GdiplusShutdown(token);
    return saved;
}
