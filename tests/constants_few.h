// A header of hardly any constants, as when the system's headers are missing or not
// reached: the constants' generator must refuse it (the test constants-generator).
#include <stddef.h>
#include <limits.h>
