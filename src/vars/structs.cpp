// Structure slots: sixteen integers or four texts over the same 16192 bytes.
#include <string.h>

#include "../host/handlers.h"
#include "../host/state.h"
#include "../host/text.h"
#include "vars.h"

static const char kIntView[] = "INTSTRUCT";
static const char kTextView[] = "STRSTRUCT";
static const char kViewList[] = "STRSTRUCT INTSTRUCT";
constexpr int FirstValueArg = 3;  // Args[3] on hold the values
constexpr char Separator = '|';

StructSlot* StructSlotAt(long index) {
    if (index < 0 || index >= VarSlotCount) return nullptr;
    return &g_state.vars.structSlots[index];
}

// Appends up to `limit` characters of text, and never past the result's end.
static size_t AppendBounded(size_t length, const char* text, size_t limit) {
    char* out = g_state.host.resultBuffer;
    for (size_t i = 0; i < limit && text[i] && length < MaxString - 1; ++i) out[length++] = text[i];
    out[length] = '\0';
    return length;
}

// SETSTRUCT index view values...: "INTSTRUCT" sets all sixteen integers from
// Args[3..18]; "STRSTRUCT" sets all four texts from Args[3..6], each cut to 4047
// characters. Another view word or an index outside 0..19 changes nothing. Answers 0.
int StructSet() {
    StructSlot* slot = StructSlotAt(ReadLong(Arg(1)));
    if (!slot) return 0;
    if (SameWord(Arg(2), kIntView)) {
        // Only the first 64 bytes are written; the texts' later bytes keep their content.
        for (int i = 0; i < StructIntCount; ++i) slot->ints[i] = ReadLong(Arg(FirstValueArg + i));
    } else if (SameWord(Arg(2), kTextView)) {
        for (int i = 0; i < StructTextCount; ++i)
            CopyBounded(slot->texts[i], VarTextBytes, Arg(FirstValueArg + i));
    }
    return 0;
}

// GETSTRUCT index view: the sixteen integers or the four texts joined by "|", cut
// to 4047 characters. Another view word or an index outside 0..19 answers the empty text.
const char* StructGet() {
    char* out = g_state.host.resultBuffer;
    StructSlot* slot = StructSlotAt(ReadLong(Arg(1)));
    if (!slot) return out;
    if (SameWord(Arg(2), kIntView)) {
        size_t length = 0;
        for (int i = 0; i < StructIntCount; ++i) {
            if (i) out[length++] = Separator;
            WriteLong(out + length, slot->ints[i]);
            length += strlen(out + length);
        }
    } else if (SameWord(Arg(2), kTextView)) {
        const char separator[] = {Separator, '\0'};
        size_t length = 0;
        for (int i = 0; i < StructTextCount; ++i) {
            if (i) length = AppendBounded(length, separator, 1);
            // Foreign code may leave a field without its terminator: read no further.
            length = AppendBounded(length, slot->texts[i], VarTextBytes - 1);
        }
    }
    return out;
}

// STRUCTLIST: the two view words, whatever the arguments.
const char* StructList() { return kViewList; }
