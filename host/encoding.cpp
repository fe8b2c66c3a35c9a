// Scripts written in UTF-8, as Linux editors write them, reach the library in the
// ANSI code page it reads; what the host prints goes back to the terminal in UTF-8.
#include "host.h"

static std::wstring Widened(UINT codePage, DWORD flags, const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(n, L'\0');
    if (n) MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

// Wide text in a code page; `lossy` (when given) tells whether a character became ?.
static std::string Narrowed(UINT codePage, const std::wstring& wide, bool* lossy) {
    if (wide.empty()) return std::string();
    // No best fit: a character the page cannot hold is reported, not quietly turned
    // into a look-alike.
    DWORD flags = lossy ? WC_NO_BEST_FIT_CHARS : 0;
    BOOL usedDefault = FALSE;
    BOOL* used = lossy ? &usedDefault : nullptr;
    int n = WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, used);
    std::string text(n, '\0');
    if (n) WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()), &text[0], n, nullptr, used);
    if (lossy) *lossy = usedDefault != FALSE;
    return text;
}

static bool HasHighBytes(const std::string& text) {
    for (unsigned char c : text)
        if (c >= 0x80) return true;
    return false;
}

void ScriptToAnsi(std::string& script, std::vector<int>& lossyLines) {
    lossyLines.clear();
    bool bom = script.compare(0, 3, "\xEF\xBB\xBF") == 0;
    if (bom) script.erase(0, 3);
    if (!HasHighBytes(script) || GetACP() == CP_UTF8) return;
    // Without a mark, text that is not valid UTF-8 is taken as ANSI already.
    if (!bom && Widened(CP_UTF8, MB_ERR_INVALID_CHARS, script).empty()) return;
    std::string converted;
    int line = 1;
    for (size_t from = 0; from < script.size(); ++line) {
        size_t end = script.find('\n', from);
        end = end == std::string::npos ? script.size() : end + 1;
        bool lossy = false;
        converted += Narrowed(CP_ACP, Widened(CP_UTF8, 0, script.substr(from, end - from)), &lossy);
        if (lossy) lossyLines.push_back(line);
        from = end;
    }
    script = converted;
}

std::string AnsiToUtf8(const std::string& text) {
    if (!HasHighBytes(text) || GetACP() == CP_UTF8) return text;
    return Narrowed(CP_UTF8, Widened(CP_ACP, 0, text), nullptr);
}
