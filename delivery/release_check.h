#pragma once
// The release check: decides what the launcher offers (PLAY, UPDATE or an
// error with its reason) and hands the accepted release and its plan to the
// update worker through LauncherState.

// The thread body; reports only through LauncherState.
void runReleaseCheck();
