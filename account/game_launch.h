#pragma once
// PLAY: fetch a one-time ticket, start "TinderhallowGame.exe" with it, and
// close the launcher.

#include <windows.h>

// Thread body of the game launch; its outcomes are the game process, a
// WM_CLOSE posted to `window`, or texts in the launcher state.
void launchGame(HWND window);
