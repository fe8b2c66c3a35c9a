// Files: search speed on a large random text and on a periodic worst case, hex and
// raw transfer rates, and the list box save. The data files are made once in the
// bench scratch folder and reused; bench/files.sh times GNU grep and dd on the
// same files in the same run.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "bench.h"

namespace {

const DWORD kMiB = 1 << 20;
const DWORD kRandomBytes = 256 * kMiB;
const DWORD kRepeatBytes = 64 * kMiB;
const DWORD kLineLength = 64;  // 63 letters and a line feed, so grep sees ordinary lines
const char kNeedle[] = "qzjxkvwpyfbhmtgd";  // 16 letters, only at the very end
const int kRuns = 5;

DWORD SizeOf(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return data.nFileSizeLow;
}

// Writes `total` bytes made block by block by `fill`, unless the file has that size.
template <typename Fill>
void MakeFile(const std::string& path, DWORD total, Fill fill) {
    if (SizeOf(path) == total) return;
    printf("(making %s)\n", path.c_str());
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::vector<char> block(kMiB);
    for (DWORD done = 0; done < total; done += kMiB) {
        fill(block.data(), done);
        DWORD written;
        WriteFile(h, block.data(), kMiB, &written, nullptr);
    }
    CloseHandle(h);
}

void MakeData(const std::string& random, const std::string& repeat) {
    unsigned state = 2463534242u;  // xorshift32: the same text on every machine
    MakeFile(random, kRandomBytes, [&](char* block, DWORD done) {
        for (DWORD i = 0; i < kMiB; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            block[i] = (i + 1) % kLineLength ? static_cast<char>('a' + (state >> 8) % 26) : '\n';
        }
        if (done + kMiB == kRandomBytes) memcpy(block + kMiB - 16, kNeedle, 16);
    });
    MakeFile(repeat, kRepeatBytes, [](char* block, DWORD) { memset(block, 'a', kMiB); });
}

double MiBPerSecond(double bytes, double seconds) { return bytes / kMiB / seconds; }

// Times one search from offset 0 and checks its answer.
double TimeSearch(BenchLibrary& lib, const std::string& pattern, const char* exact, const std::string& expected) {
    std::string rewind = MakeBlock({"FILESETPOS", "1", "0"});
    std::string search = MakeBlock({"FILESEARCHTEXT", "1", pattern, exact});
    std::string answer;
    double seconds = MedianSeconds(kRuns, [&] {
        lib.funcProc(rewind.data());
        answer = lib.funcProc(search.data());
    });
    if (answer != expected) printf("!! search answered \"%s\", expected \"%s\"\n", answer.c_str(), expected.c_str());
    return seconds;
}

void BenchSearch(BenchLibrary& lib, const std::string& random, const std::string& repeat) {
    lib.Command({"FILEOPEN", "1", random, "READ"});
    std::string at = std::to_string(kRandomBytes - 16);
    // Warm the cache the way grep and dd find it.
    TimeSearch(lib, kNeedle, "EXACT", at);
    double exact = TimeSearch(lib, kNeedle, "EXACT", at);
    std::string upper = kNeedle;
    for (char& c : upper) c = static_cast<char>(c - 32);
    double folded = TimeSearch(lib, upper, "", at);
    lib.Command({"FILECLOSE", "1"});

    lib.Command({"FILEOPEN", "1", repeat, "READ"});
    std::string periodic = std::string(4000, 'a') + "b";
    TimeSearch(lib, periodic, "EXACT", "");
    double worst = TimeSearch(lib, periodic, "EXACT", "");
    double worstFolded = TimeSearch(lib, periodic, "", "");
    lib.Command({"FILECLOSE", "1"});

    Report("search 256 MiB random text, EXACT", exact, "s");
    Report("search 256 MiB random text, EXACT", MiBPerSecond(kRandomBytes, exact), "MiB/s");
    Report("search 256 MiB random text, case folded", folded, "s");
    Report("search 256 MiB random text, case folded", MiBPerSecond(kRandomBytes, folded), "MiB/s");
    Report("search 64 MiB of one letter for 4000 of it + another", worst, "s");
    Report("search 64 MiB of one letter, case folded", worstFolded, "s");
    double perByteRandom = exact / kRandomBytes;
    Report("worst case per byte / random text per byte", worst / kRepeatBytes / perByteRandom, "x");
    Report("worst case folded per byte / random text per byte", worstFolded / kRepeatBytes / perByteRandom, "x");
}

// The file read straight through the system in 1 MiB blocks, for comparison.
double PlainReadSeconds(const std::string& path) {
    std::vector<char> block(kMiB);
    return MedianSeconds(kRuns, [&] {
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD got;
        while (ReadFile(h, block.data(), kMiB, &got, nullptr) && got) {
        }
        CloseHandle(h);
    });
}

void BenchTransfer(BenchLibrary& lib, const std::string& random) {
    double plain = PlainReadSeconds(random);

    // FILEREAD "TEXT" with a 1 MiB buffer over the whole file: the read that
    // reaches the end wraps the slot to 0.
    lib.Function({"FILEREADBUFSIZE", std::to_string(kMiB)});
    lib.Command({"FILEOPEN", "1", random, "READ"});
    std::string read = MakeBlock({"FILEREAD", "1", "TEXT", "0"});
    double text = MedianSeconds(kRuns, [&] {
        for (DWORD done = 0; done < kRandomBytes; done += kMiB) lib.commandProc(read.data());
    });
    if (lib.Function({"FILEGETPOS", "1"}) != "0") printf("!! the text read did not end at the end of the file\n");

    // FILEREAD "HEX" in 32768-byte reads over the first 64 MiB.
    const DWORD hexBytes = 64 * kMiB;
    std::string hexRead = MakeBlock({"FILEREAD", "1", "HEX", "32768"});
    std::string rewind = MakeBlock({"FILESETPOS", "1", "0"});
    size_t textLength = 0;
    double hexIn = MedianSeconds(kRuns, [&] {
        lib.funcProc(rewind.data());
        for (DWORD done = 0; done < hexBytes; done += 32768) textLength = strlen(lib.funcProc(hexRead.data()));
    });
    if (textLength != 3 * 32768 - 1) printf("!! a hex read answered %u characters\n", unsigned(textLength));
    lib.Command({"FILECLOSE", "1"});
    lib.Function({"FILEREADBUFSIZE", "4024"});

    // FILEWRITE "HEX" of 32767 bytes per call, 2048 calls.
    std::string pairs;
    for (int i = 0; i < 32767; ++i) {
        char pair[4];
        snprintf(pair, sizeof pair, "%02X ", (i * 7) & 255);
        pairs += pair;
    }
    std::string out = BenchScratch() + "\\hex-out.bin";
    std::string hexWrite = MakeBlock({"FILEWRITE", "1", "HEX", pairs});
    const int writes = 2048;
    double hexOut = MedianSeconds(kRuns, [&] {
        DeleteFileA(out.c_str());
        lib.Command({"FILEOPEN", "1", out, "WRITE"});
        for (int i = 0; i < writes; ++i) lib.commandProc(hexWrite.data());
        lib.Command({"FILECLOSE", "1"});
    });
    if (SizeOf(out) != 32767u * writes) printf("!! the hex writes made %lu bytes\n", SizeOf(out));
    DeleteFileA(out.c_str());

    Report("plain ReadFile of 256 MiB in 1 MiB blocks", MiBPerSecond(kRandomBytes, plain), "MiB/s");
    Report("FILEREAD TEXT, 1 MiB buffer, 256 MiB", MiBPerSecond(kRandomBytes, text), "MiB/s");
    Report("FILEREAD TEXT / plain ReadFile speed", plain / text, "x");
    Report("FILEREAD HEX, 32768-byte reads", MiBPerSecond(hexBytes, hexIn), "MiB/s");
    Report("FILEWRITE HEX, 32767 bytes per call", MiBPerSecond(32767.0 * writes, hexOut), "MiB/s");
}

void BenchListBoxSave(BenchLibrary& lib) {
    const int items = 100000;
    HWND box = CreateWindowA("LISTBOX", "", WS_CHILD | LBS_HASSTRINGS, 0, 0, 200, 200, lib.window, nullptr,
                             GetModuleHandleA(nullptr), nullptr);
    std::string expected;
    SendMessageA(box, WM_SETREDRAW, FALSE, 0);
    for (int i = 0; i < items; ++i) {
        std::string item = "item " + std::to_string(i) + std::string(i % 40, 'x');
        SendMessageA(box, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
        expected += item + "\r\n";
    }
    std::string path = BenchScratch() + "\\listbox.txt";
    std::string save = MakeBlock({"SAVEFILE", std::to_string(reinterpret_cast<UINT_PTR>(box)), path});
    int answer = 0;
    double seconds = MedianSeconds(kRuns, [&] { answer = lib.commandProc(save.data()); });

    std::string saved(SizeOf(path), '\0');
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD got = 0;
    ReadFile(h, &saved[0], static_cast<DWORD>(saved.size()), &got, nullptr);
    CloseHandle(h);
    DeleteFileA(path.c_str());
    DestroyWindow(box);

    Report("SAVEFILE of 100000 items", items / seconds, "items/s");
    Report("SAVEFILE bytes match the items (1 = yes)", answer == 0 && saved == expected ? 1 : 0, "");
}

}  // namespace

void BenchFiles(BenchLibrary& lib) {
    std::string random = BenchScratch() + "\\random-256m.txt";
    std::string repeat = BenchScratch() + "\\repeat-64m.txt";
    MakeData(random, repeat);
    printf("data: %s, %s\n", random.c_str(), repeat.c_str());
    fflush(stdout);
    BenchSearch(lib, random, repeat);
    BenchTransfer(lib, random);
    BenchListBoxSave(lib);
}
