// Splitting the host's argument block and the per-call resets.
#pragma once

// Fills the argument table from the block; answers 0, or the clipboard failure
// status when a "!CLIPBOARD!" argument could not be replaced.
int SplitArguments(const char* block);

// Resets shared by both entry points after a successful split.
void ResetForCall();
