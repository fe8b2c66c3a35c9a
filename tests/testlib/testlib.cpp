// A library of our own that scripts call into during tests and the benchmark. Each
// export stands for one kind of foreign function: a calling convention, a number of
// parameters, a way of answering, or a way of writing through the pointers it gets.
#include <stddef.h>
#include <windows.h>

static DWORD g_recorded[20];  // the words of the latest Words20 or Subtract2 call
static char g_longText[5001];

extern "C" {

int __stdcall Noop(int value) { return value; }

// Twenty parameters: records every word and answers a sum that changes when any
// two different words trade places.
DWORD __stdcall Words20(DWORD w0, DWORD w1, DWORD w2, DWORD w3, DWORD w4, DWORD w5, DWORD w6,
                        DWORD w7, DWORD w8, DWORD w9, DWORD w10, DWORD w11, DWORD w12,
                        DWORD w13, DWORD w14, DWORD w15, DWORD w16, DWORD w17, DWORD w18,
                        DWORD w19) {
    const DWORD words[20] = {w0, w1, w2, w3, w4, w5, w6, w7, w8, w9,
                             w10, w11, w12, w13, w14, w15, w16, w17, w18, w19};
    DWORD sum = 0;
    for (int i = 0; i < 20; ++i) {
        g_recorded[i] = words[i];
        sum = sum * 33 + words[i];
    }
    return sum;
}

// The word recorded at position i by the latest recording call.
DWORD __stdcall RecordedWord(int i) { return i >= 0 && i < 20 ? g_recorded[i] : 0; }

// Fewer parameters than the caller pushes: removes only 8 of the 80 bytes.
int __stdcall Subtract2(int a, int b) {
    g_recorded[0] = a;
    g_recorded[1] = b;
    return a - b;
}

// No parameters at all: removes nothing.
int __stdcall Answer0() { return 42; }

// The caller removes the parameters of a __cdecl function: it removes nothing.
int __cdecl CdeclSubtract(int a, int b) { return a - b; }

// Texts at addresses of every kind.
const char* __stdcall GreetingText() { return "Hello from the test library"; }
const char* __stdcall NullText() { return nullptr; }

const char* __stdcall LongText() {
    for (int i = 0; i < 5000; ++i) g_longText[i] = static_cast<char>('a' + i % 26);
    g_longText[5000] = '\0';
    return g_longText;
}

// A page the process may not read.
const char* __stdcall UnreadableText() {
    static void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
    return static_cast<const char*>(page);
}

// "end of page" in the last bytes of a readable page, with no terminator before the
// unreadable page that follows.
const char* __stdcall TextIntoUnreadable() {
    static char* pages = nullptr;
    static const char tail[] = "end of page";
    const int tailLength = sizeof tail - 1;
    if (!pages) {
        pages = static_cast<char*>(VirtualAlloc(nullptr, 8192, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old;
        VirtualProtect(pages + 4096, 4096, PAGE_NOACCESS, &old);
        CopyMemory(pages + 4096 - tailLength, tail, tailLength);
    }
    return pages + 4096 - tailLength;
}

// Writing through the pointers the extension hands out.
int __stdcall StoreInt(int* target, int value) {
    *target = value;
    return value;
}

int __stdcall StoreText(char* target, const char* text) {
    lstrcpyA(target, text);
    return lstrlenA(text);
}

// Fills all 4048 bytes of a text field, leaving no terminator.
int __stdcall FillField(char* target) {
    for (int i = 0; i < 4048; ++i) target[i] = 'z';
    return 4048;
}

// Answers the size value it finds and changes it, as a function reporting how much
// it wrote would.
int __stdcall ReadSizeAndChange(int* size) {
    int found = *size;
    *size = 7;
    return found;
}

// Fills a record of sixteen integers: 11, 22, ... 176.
int __stdcall FillStruct(int* record) {
    for (int i = 0; i < 16; ++i) record[i] = (i + 1) * 11;
    return 16;
}

// Leaves a last-error code for the caller to find.
int __stdcall FailWith(DWORD code) {
    SetLastError(code);
    return 0;
}

// ---- callees that fault ----------------------------------------------------------
// Each raises an exception it does not handle itself, the way a function given a
// wrong pointer does. (StoreInt with a wrong address is the plainest of them.)

// Writes through the first pointer, then through the second: with a good first and a
// wrong second, the first write stays behind when the second faults.
int __stdcall StoreTwice(int* first, int* second, int value) {
    *first = value;
    *second = value;
    return value;
}

int __stdcall Divide(int a, int b) { return a / b; }

// Recurses until the stack runs out; the work after the inner call keeps the
// compiler from turning it into a loop.
int __stdcall RecurseForever(int depth) {
    volatile char frame[64];
    frame[depth % 64] = static_cast<char>(depth);
    if (depth == -1) return 0;  // never, but the compiler cannot know it
    return RecurseForever(depth + 1) + frame[depth % 64];
}

// A __cdecl function that faults after its caller pushed its arguments.
int __cdecl CdeclStore(int* target, int value) {
    *target = value;
    return value;
}

// Raises an exception and handles it itself, in a handler registered in its own
// frame: the handler counts it and lets RaiseException return. Answers the count,
// 1 when its own handler saw the exception.
static LONG g_ownHandled;

static EXCEPTION_DISPOSITION __cdecl CountAndContinue(EXCEPTION_RECORD* record, void*, CONTEXT*, void*) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
    ++g_ownHandled;
    return ExceptionContinueExecution;
}

int __stdcall RaiseAndHandle(DWORD code) {
    NT_TIB* tib = reinterpret_cast<NT_TIB*>(NtCurrentTeb());
    EXCEPTION_REGISTRATION_RECORD own;
    own.Next = tib->ExceptionList;
    own.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(CountAndContinue);
    tib->ExceptionList = &own;
    g_ownHandled = 0;
    RaiseException(code, 0, 0, nullptr);
    tib->ExceptionList = own.Next;
    return g_ownHandled;
}

// Registers a handler that only cleans up, as a __finally block or a destructor
// does: it leaves the exception to the handlers below and counts the unwind that
// passes through its frame. Then it writes through `target`.
static LONG g_unwoundFrames;

static EXCEPTION_DISPOSITION __cdecl CountUnwind(EXCEPTION_RECORD* record, void*, CONTEXT*, void*) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) ++g_unwoundFrames;
    return ExceptionContinueSearch;
}

int __stdcall CleanUpThenStore(int* target, int value) {
    NT_TIB* tib = reinterpret_cast<NT_TIB*>(NtCurrentTeb());
    EXCEPTION_REGISTRATION_RECORD own;
    own.Next = tib->ExceptionList;
    own.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(CountUnwind);
    tib->ExceptionList = &own;
    asm volatile("" ::: "memory");  // the write stays between registering and removing
    *target = value;
    asm volatile("" ::: "memory");
    tib->ExceptionList = own.Next;
    return value;
}

// How many unwinds passed through CleanUpThenStore's frame so far.
int __stdcall UnwoundFrames() { return g_unwoundFrames; }


// ---- typed calls ---------------------------------------------------------------------
// Each mixes 32-bit words with wider values, so that a wider value placed one word
// off changes the answer.

LONGLONG __stdcall Mix64(int a, LONGLONG b, int c) { return b - a - c; }

ULONGLONG __cdecl CdeclMixU64(ULONGLONG a, int b) { return a + b; }

double __stdcall MixDouble(int a, double b, float c, int d) { return b * a + c - d; }

float __stdcall HalfFloat(float x) { return x / 2; }

// Results narrower than a word: the upper bits of EAX are whatever is left there.
short __stdcall ShortOf(int x) { return static_cast<short>(x); }
unsigned char __stdcall ByteOf(int x) { return static_cast<unsigned char>(x); }

int __stdcall WideLength(const wchar_t* text) { return lstrlenW(text); }
const wchar_t* __stdcall WideGreeting() { return L"Wide hello \u00e9"; }

// Adds one to an integer, doubles a 64-bit value and halves a double, in place.
int __stdcall UpdateInPlace(DWORD* a, ULONGLONG* b, double* c) {
    *a += 1;
    *b *= 2;
    *c /= 2;
    return 3;
}

// Writes "filled" (cut to fit, terminated) into a buffer of `count` characters.
int __stdcall FillAnsi(char* buffer, int count) {
    const char text[] = "filled";
    int n = 0;
    for (; n < count - 1 && text[n]; ++n) buffer[n] = text[n];
    if (count > 0) buffer[n] = '\0';
    return n;
}

int __stdcall FillWide(int count, wchar_t* buffer) {
    const wchar_t text[] = L"wide filled";
    int n = 0;
    for (; n < count - 1 && text[n]; ++n) buffer[n] = text[n];
    if (count > 0) buffer[n] = 0;
    return n;
}

// Counted buffers of values and structures, as EnumProcesses fills its identifiers:
// cb / 4 values 1, 2, 3 ...
DWORD __stdcall FillDwords(DWORD* items, DWORD cb) {
    for (DWORD i = 0; i < cb / 4; ++i) items[i] = i + 1;
    return cb / 4;
}

// count points (i, -i).
int __stdcall FillPoints(POINT* points, int count) {
    for (int i = 0; i < count; ++i) points[i].x = i, points[i].y = -i;
    return count;
}

// Writes up to five bytes 0xA1 ... into a buffer of *size bytes and leaves how many
// it wrote in *size.
int __stdcall FillBytesCounted(BYTE* buffer, DWORD* size) {
    DWORD n = *size < 5 ? *size : 5;
    for (DWORD i = 0; i < n; ++i) buffer[i] = static_cast<BYTE>(0xA1 + i);
    *size = n;
    return static_cast<int>(n);
}

// Upper-cases a wide text of at most n characters in place (ASCII letters); answers
// its length.
int __stdcall UpperWide(wchar_t* text, int n) {
    int length = 0;
    for (; length < n && text[length]; ++length)
        if (text[length] >= L'a' && text[length] <= L'z') text[length] = static_cast<wchar_t>(text[length] - 32);
    return length;
}

// Structures laid out by this compiler, to check the library's layout against.
struct Mixed {
    WORD w;
    double d;
    char name[10];
    BYTE b;
    int i;
    WORD tail[3];
    LONGLONG ll;
};
#pragma pack(push, 1)
struct Packed {
    BYTE a;
    DWORD b;
    double c;
    WORD d;
};
#pragma pack(pop)
struct Nested {
    BYTE a;
    Mixed m;
    WORD z;
    Packed p;
    char last;
};

// offsetof of field `field` of structure `which` (0 Mixed, 1 Packed, 2 Nested), or
// its size for field -1.
DWORD __stdcall LayoutOf(int which, int field) {
    static const DWORD mixed[] = {offsetof(Mixed, w), offsetof(Mixed, d), offsetof(Mixed, name), offsetof(Mixed, b),
                                  offsetof(Mixed, i), offsetof(Mixed, tail), offsetof(Mixed, ll)};
    static const DWORD packed[] = {offsetof(Packed, a), offsetof(Packed, b), offsetof(Packed, c), offsetof(Packed, d)};
    static const DWORD nested[] = {offsetof(Nested, a), offsetof(Nested, m), offsetof(Nested, z), offsetof(Nested, p),
                                   offsetof(Nested, last)};
    const DWORD sizes[] = {sizeof(Mixed), sizeof(Packed), sizeof(Nested)};
    if (field < 0) return which >= 0 && which < 3 ? sizes[which] : 0;
    if (which == 0 && field < 7) return mixed[field];
    if (which == 1 && field < 4) return packed[field];
    if (which == 2 && field < 5) return nested[field];
    return 0xFFFFFFFF;
}

// Fills a Mixed with known values and answers the sum of its integers.
int __stdcall FillMixed(Mixed* m) {
    m->w = 65535;
    m->d = -2.5;
    lstrcpyA(m->name, "mixed");
    m->b = 200;
    m->i = -7;
    m->tail[0] = 1;
    m->tail[1] = 2;
    m->tail[2] = 3;
    m->ll = -1234567890123LL;
    return m->w + m->b + m->i;
}

// Reads what a script wrote into a Mixed: "name|i|d*4|ll" packed into one number.
LONGLONG __stdcall ReadMixed(const Mixed* m) {
    return static_cast<LONGLONG>(m->d * 4) + m->i * 1000 + m->ll * 100000 + lstrlenA(m->name);
}

// Three words in, one out: the benchmark's typed call.
int __stdcall Sum3(int a, int b, int c) { return a + b + c; }

// A __stdcall function that removes 8 bytes, whatever it is declared with.
int __stdcall TakesTwo(int a, int b) { return a + b; }

// Calls back into the extension's FuncProc with a block of its own, as a callee
// that uses the host's variables does, and returns normally whatever came of it.
int __stdcall CallFuncProc(const char*(__cdecl* funcProc)(const char*), const char* block) {
    funcProc(block);
    return 7;
}

// ---- callers of a given function pointer (the callbacks' tests) ----------------------

// What the latest CallThrough saw: the stack pointer before the call (after pushing
// the words) and after it, EDX, and EBX, ESI, EDI, EBP after the call.
DWORD g_throughEspBefore, g_throughEspAfter, g_throughEdx, g_throughRegs[4], g_throughEbp;

// What CallThrough saw: 0 the bytes the callee removed, 1 EDX, 2 whether EBX, ESI,
// EDI and EBP came back as they were.
DWORD __stdcall ThroughReport(int what) {
    switch (what) {
    case 0: return g_throughEspAfter - g_throughEspBefore;
    case 1: return g_throughEdx;
    case 2: return g_throughRegs[0] == 0x5A5A5A5A && g_throughRegs[1] == 0x6B6B6B6B &&
                   g_throughRegs[2] == 0x7C7C7C7C && g_throughRegs[3] == g_throughEbp;
    }
    return 0;
}

// Calls a function that takes a double and answers one (or a float), as a C caller does.
double __stdcall CallDoubleThrough(double(__stdcall* function)(double), double x) { return function(x); }
float __stdcall CallFloatThrough(float(__stdcall* function)(float), float x) { return function(x); }

// Calls `function(value, thread id)` from a thread of its own, waits for it and
// answers what the function answered (0xFFFFFFFF when no thread could be made).
struct ThreadCall {
    int(__stdcall* function)(int, DWORD);
    int value;
    int answer;
};
static DWORD WINAPI RunThreadCall(void* parameter) {
    ThreadCall* call = static_cast<ThreadCall*>(parameter);
    call->answer = call->function(call->value, GetCurrentThreadId());
    return 0;
}
int __stdcall CallFromThread(int(__stdcall* function)(int, DWORD), int value) {
    ThreadCall call = {function, value, -1};
    HANDLE thread = CreateThread(nullptr, 0, RunThreadCall, &call, 0, nullptr);
    if (!thread) return -1;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return call.answer;
}

// Calls `function(i, thread id)` `calls` times from each of `threads` threads (at
// most 8) running at once; answers the threads that ran.
struct ManyCalls {
    int(__stdcall* function)(int, DWORD);
    int calls;
};
static DWORD WINAPI RunManyCalls(void* parameter) {
    ManyCalls* many = static_cast<ManyCalls*>(parameter);
    for (int i = 0; i < many->calls; ++i) many->function(i, GetCurrentThreadId());
    return 0;
}
int __stdcall CallFromThreads(int(__stdcall* function)(int, DWORD), int threads, int calls) {
    ManyCalls many = {function, calls};
    HANDLE handles[8];
    int made = 0;
    for (int i = 0; i < threads && i < 8; ++i)
        if ((handles[made] = CreateThread(nullptr, 0, RunManyCalls, &many, 0, nullptr))) ++made;
    WaitForMultipleObjects(made, handles, TRUE, INFINITE);
    for (int i = 0; i < made; ++i) CloseHandle(handles[i]);
    return made;
}

// Answers a real as the x87 leaves it, 80 bits wide: `which` 0 is 1e400 (no double
// holds it), 1 is 0.1. Returns with the x87 control word `control`, as code that
// unmasks exceptions or lowers the precision for itself leaves it behind.
long double __stdcall ExtendedUnderControlWord(int which, DWORD control) {
    static const long double kValues[] = {1e400L, 0.1L};
    volatile long double value = kValues[which & 1];
    unsigned short word = static_cast<unsigned short>(control);
    asm volatile("fnclex\n\tfldcw %0" : : "m"(word) : "memory");
    return value;  // loading an 80-bit value raises nothing
}

// Copies a VARIANT word by word, with no floating-point instruction of its own: a
// callee that runs under whatever control word the previous one left (the system's
// VariantCopy may move a double through the x87, which an emulator can flag inexact).
HRESULT __stdcall CopyVariantWords(VARIANT* destination, const VARIANT* source) {
    volatile DWORD* to = reinterpret_cast<volatile DWORD*>(destination);
    const volatile DWORD* from = reinterpret_cast<const volatile DWORD*>(source);
    for (size_t i = 0; i < sizeof(VARIANT) / 4; ++i) to[i] = from[i];
    return S_OK;
}

DWORD __stdcall CallThrough(void* function, const DWORD* words, int count);

// Calls `function` with the words (through CallThrough: no floating-point work of
// its own between setting the control word and the call) with every x87 exception
// unmasked (inexact included) and the x87 precision at 24 bits, as some runtimes
// leave them. Answers 1 when the control word came back as it was and no exception
// flag is set, with the function's answer in *answer; the caller's own control word
// is put back either way.
int __stdcall CallWithExceptionsUnmasked(void* function, const DWORD* words, int count, DWORD* answer) {
    unsigned short saved, unmasked, after, status;
    asm volatile("fnstcw %0" : "=m"(saved));
    unmasked = static_cast<unsigned short>(saved & ~0x033F);  // masks and precision control cleared
    asm volatile("fnclex\n\tfldcw %0" : : "m"(unmasked) : "memory");
    *answer = CallThrough(function, words, count);
    asm volatile("fnstcw %0\n\tfnstsw %1" : "=m"(after), "=m"(status) : : "memory");
    asm volatile("fnclex\n\tfldcw %0" : : "m"(saved) : "memory");
    return after == unmasked && (status & 0xBF) == 0;
}

}  // extern "C"

// Pushes `count` words (words[0] nearest the return address), loads known values
// into EBX, ESI and EDI, calls `function` whatever its convention, records what it
// left (ThroughReport) and answers its EAX. The stack pointer is put back from EBP,
// so a callee that removes more or fewer bytes than pushed cannot harm the caller.
//   DWORD __stdcall CallThrough(void* function, const DWORD* words, int count)
asm(".text\n"
    ".globl _CallThrough@12\n"
    "_CallThrough@12:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %ebx\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    movl 12(%ebp), %edx\n"
    "    movl 16(%ebp), %ecx\n"
    "1:  testl %ecx, %ecx\n"
    "    jz 2f\n"
    "    pushl -4(%edx,%ecx,4)\n"
    "    decl %ecx\n"
    "    jmp 1b\n"
    "2:  movl %esp, _g_throughEspBefore\n"
    "    movl %ebp, _g_throughEbp\n"
    "    movl $0x5A5A5A5A, %ebx\n"
    "    movl $0x6B6B6B6B, %esi\n"
    "    movl $0x7C7C7C7C, %edi\n"
    "    call *8(%ebp)\n"
    "    movl %esp, _g_throughEspAfter\n"
    "    movl %edx, _g_throughEdx\n"
    "    movl %ebx, _g_throughRegs\n"
    "    movl %esi, _g_throughRegs+4\n"
    "    movl %edi, _g_throughRegs+8\n"
    "    movl %ebp, _g_throughRegs+12\n"
    "    movl _g_throughEbp, %ebp\n"
    "    leal -12(%ebp), %esp\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebx\n"
    "    popl %ebp\n"
    "    ret $12\n");

// A __cdecl function that breaks the rules: it overwrites EBX, ESI and EDI without
// saving them. The caller must still get its own values back.
asm(".text\n"
    ".globl _DisturbRegisters\n"
    "_DisturbRegisters:\n"
    "    movl $0x0badf00d, %ebx\n"
    "    movl $0x0badf00d, %esi\n"
    "    movl $0x0badf00d, %edi\n"
    "    movl $7, %eax\n"
    "    ret\n");

// Sets the direction flag and returns with it set, as no function of the platform's
// conventions may.
asm(".text\n"
    ".globl _SetDirectionFlag\n"
    "_SetDirectionFlag:\n"
    "    std\n"
    "    movl $1, %eax\n"
    "    ret\n");

// Breaks every rule before it faults: overwrites EBX, ESI, EDI and EBP, sets the
// direction flag and leaves a value on the x87 stack, then writes through a null
// pointer. The caller must still get its own state back.
asm(".text\n"
    ".globl _DisturbThenFault@0\n"
    "_DisturbThenFault@0:\n"
    "    movl $0x0badf00d, %ebx\n"
    "    movl $0x0badf00d, %esi\n"
    "    movl $0x0badf00d, %edi\n"
    "    movl $0x0badf00d, %ebp\n"
    "    std\n"
    "    fld1\n"
    "    xorl %eax, %eax\n"
    "    movl %eax, (%eax)\n"
    "    ret\n");

// Executes an instruction that is defined to be invalid.
asm(".text\n"
    ".globl _ExecuteInvalid@0\n"
    "_ExecuteInvalid@0:\n"
    "    ud2\n"
    "    ret\n");

// Floating-point exceptions unmasked, as the start-up code of Delphi and C++Builder
// programs leaves them: x87 divide by zero is unmasked, and 1 is divided by 0. An
// unmasked x87 exception is only raised by the next x87 instruction that waits, so
// X87DivideLeftPending returns with it pending, for its caller's next x87
// instruction to raise; X87DivideAndWait raises it itself with fwait.
asm(".text\n"
    ".globl _X87DivideLeftPending@0\n"
    "_X87DivideLeftPending@0:\n"
    "    subl $12, %esp\n"
    "    fnstcw (%esp)\n"
    "    andw $0xFFFB, (%esp)\n"  // ZM, bit 2: divide by zero unmasked
    "    fldcw (%esp)\n"
    "    movl $0, 4(%esp)\n"
    "    movl $0, 8(%esp)\n"
    "    fld1\n"
    "    fdivl 4(%esp)\n"         // 1 / 0.0: the exception is now pending
    "    addl $12, %esp\n"
    "    movl $1, %eax\n"
    "    ret\n"
    ".globl _X87DivideAndWait@0\n"
    "_X87DivideAndWait@0:\n"
    "    subl $12, %esp\n"
    "    fnstcw (%esp)\n"
    "    andw $0xFFFB, (%esp)\n"
    "    fldcw (%esp)\n"
    "    movl $0, 4(%esp)\n"
    "    movl $0, 8(%esp)\n"
    "    fld1\n"
    "    fdivl 4(%esp)\n"
    "    fwait\n"                 // raised here, inside the callee
    "    addl $12, %esp\n"
    "    movl $1, %eax\n"
    "    ret\n");

// Unmasks every x87 and SSE exception, then writes through a null pointer: the
// caller must get its own masks back, or its next inexact result would fault.
asm(".text\n"
    ".globl _UnmaskThenFault@0\n"
    "_UnmaskThenFault@0:\n"
    "    subl $4, %esp\n"
    "    fnstcw (%esp)\n"
    "    andw $0xFFC0, (%esp)\n"  // the six x87 mask bits
    "    fldcw (%esp)\n"
    "    stmxcsr (%esp)\n"
    "    andl $0xFFFFE07F, (%esp)\n"  // the six SSE mask bits, 7..12
    "    ldmxcsr (%esp)\n"
    "    addl $4, %esp\n"
    "    xorl %eax, %eax\n"
    "    movl %eax, (%eax)\n"
    "    ret\n");
