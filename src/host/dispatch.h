// The two keyword tables.
#pragma once

// Runs the command named by the keyword argument; answers -1 for a reported
// failure and the status code otherwise (also for an unknown keyword).
int DispatchCommand();

// Runs the function named by the keyword argument; answers its text, or
// "Invalid Function" when no row matches or its condition does not hold.
const char* DispatchFunction();

// GETLASTERROR: the system's message text for the thread's last-error code.
const char* LastErrorText();
