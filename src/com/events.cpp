// COMEVENTS and COMEVENTNEXT: an object's events, heard through its connection point
// and posted to the host window, never run on the way in.
#include "../host/state.h"
#include "objects.h"

void ComEventsDisconnect(ComObject* slot) { slot->sink = nullptr; }
