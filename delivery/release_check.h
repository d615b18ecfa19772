#pragma once
// The release check: decides what the launcher offers (PLAY, UPDATE or an
// error with its reason) and hands the accepted release and its plan to the
// update worker through LauncherState.

#include <cstdint>

// Nothing larger is read into memory: a broken or hostile source could
// otherwise exhaust memory with one file.
inline constexpr std::uint64_t kMaxReleaseListBytes = 64ull * 1024 * 1024;
inline constexpr std::uint64_t kMaxSignatureBytes = 16ull * 1024;

// The thread body; reports only through LauncherState.
void runReleaseCheck();
