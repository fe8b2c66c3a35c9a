// The per-call path (the frame, the dispatch, the cheap keywords and DLLFUNC's
// conversions) kept together in the code, starting on a page of its own. Natively
// this changes nothing measurable. Under full-system emulation a jump across a page
// boundary costs a look-up, and a loop that straddles one pays it on every turn: the
// cost of one call swung by half with unrelated edits that moved the code. Each
// group must stay within its page: `i686-w64-mingw32-nm -n build/bin/TRAKX.dll`
// lists the functions from the group's page start on.
#pragma once

#define HOT_PATH __attribute__((section(".text$trakx_hot1")))
// DLLFUNC's conversions: a second group, on the page after the first.
#define HOT_PATH_FOREIGN __attribute__((section(".text$trakx_hot3")))
// Rare steps of hot functions, kept out of the group.
#define COLD_PATH __attribute__((cold, noinline))
