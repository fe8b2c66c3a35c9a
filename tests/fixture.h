// The test fixture: loads TRAKX.dll afresh for each test and drives it only through
// its four exports, with a real visible window whose handle goes into the init text,
// as a host does. Message boxes the library shows are recorded instead of shown.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "trakx_host.h"


struct RecordedBox {
    HWND owner;
    std::string text;
    std::string caption;
    UINT style;
};

// Points the import `function` of `dll` in `module` at `replacement`; answers the
// previous target, or null when the module does not import it.
void* PatchImport(HMODULE module, const char* dll, const char* function, void* replacement);

// Folder of the test programs, the library and the test library.
std::string BinaryDir();

// Puts text on the clipboard (CF_TEXT); an empty vector of text leaves it empty.
void PutClipboardText(const std::string& text);
void EmptyTheClipboard();

// A note printed if the test program crashes (for instance the call being made).
extern std::string g_crashNote;

// Dispatches the thread's pending window messages.
void PumpMessages();

class TrakxTest : public ::testing::Test {
public:
    // What the host callback received, in order.
    static std::vector<std::string> events;
    // Every message box the library asked for.
    static std::vector<RecordedBox> boxes;

protected:
    void SetUp() override;
    void TearDown() override;

    // Loads the library and patches its message boxes; does not call Init.
    void Load();
    // Unloads the library (its unload sequence runs); safe when not loaded.
    void Unload();
    // Calls Init with the given text and the recording callback.
    std::string CallInit(const char* initText, int* maxArgs = nullptr, int* maxString = nullptr);
    // Unloads, loads and calls Init again.
    void Reload(const char* initText);

    // The init text every test starts with: the window handle in decimal.
    std::string WindowInitText() const;

    int Command(const std::vector<std::string>& words);
    std::string Function(const std::vector<std::string>& words);
    // A function's raw answer pointer (for answers with embedded bytes).
    const char* FunctionRaw(const std::vector<std::string>& words);
    int Status();

    // A folder of its own for this test's files; its path ends without a separator.
    std::string Scratch();

    HMODULE library = nullptr;
    HWND window = nullptr;
    InitFn init = nullptr;
    CommandFn commandProc = nullptr;
    FunctionFn funcProc = nullptr;
    StatusFn statProc = nullptr;

private:
    std::string scratch;
};
