#pragma once
// The release check: decides what the launcher offers (PLAY, UPDATE or an
// error with its reason) and hands the accepted release and its plan to the
// update worker through LauncherState.

enum class ReleaseCheckKind {
    // At start-up and RETRY: installed files unchanged since the launcher
    // last read them (".patch_index") are not read again.
    Quick,
    // REPAIR: every installed file is read again, and the record made anew.
    Full,
};

// The thread body; reports only through LauncherState.
void runReleaseCheck(ReleaseCheckKind kind = ReleaseCheckKind::Quick);
