// Script variables, structures and foreign calls.
#pragma once

#include <windows.h>

constexpr int VarSlotCount = 20;
constexpr int VarTextBytes = 4048;

struct VarsState {
    char stringSlots[VarSlotCount][VarTextBytes];
    long intSlots[VarSlotCount];
};
