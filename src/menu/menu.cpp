// Menu commands: not built yet; the keywords answer as unrecognised ones.
#include "../host/handlers.h"

int MenuSetIdFactor() { return 0; }
int MenuCommand() { return 0; }
const char* MenuGetState() { return nullptr; }
