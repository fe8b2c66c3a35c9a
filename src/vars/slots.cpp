// Variables, structures and foreign calls: not built yet; the keywords answer as
// unrecognised ones.
#include "../host/handlers.h"

int VarSetString() { return 0; }
int VarSetInteger() { return 0; }
int StructSet() { return 0; }
const char* VarGetString() { return nullptr; }
const char* VarGetInteger() { return nullptr; }
const char* VarStringAtAddress() { return nullptr; }
const char* StructGet() { return nullptr; }
const char* StructList() { return nullptr; }
int LibraryLoad() { return 0; }
int LibraryBindFunction() { return 0; }
int LibraryUnload() { return 0; }
bool ForeignFunctionBound() { return false; }
const char* ForeignCall() { return nullptr; }
void CallDataReset() {}
