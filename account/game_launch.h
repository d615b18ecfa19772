#pragma once
// PLAY: fetch a one-time ticket, start "TinderhallowGame.exe" with it, and
// close the launcher.

#include <windows.h>

// Thread body of the game launch; its outcomes are the game process and the
// window's close asked of the launcher state (requestWindowClose), or texts
// in the launcher state. `owner` only parents a dialog the shell may show.
void launchGame(HWND owner);
