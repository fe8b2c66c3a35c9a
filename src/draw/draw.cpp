// Drawing and screen queries: not built yet; the keywords answer as unrecognised ones.
#include "../host/handlers.h"

int DrawCommand() { return 0; }
const char* PixelColour() { return nullptr; }
const char* MouseButtons() { return nullptr; }
void SurfaceRelease() {}
