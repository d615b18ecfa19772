#pragma once
// One launcher window per launcher folder. The guard is a named shared
// memory block whose name holds a digest of the folder's identity (volume
// serial and file id; the full path in upper case only when the folder
// cannot be opened), so that every name of the folder meets it; it lives
// as long as its owner keeps it open, and records the owner's process id and
// window so that a second launcher can bring that window to the front. A mutex would not do: it belongs to a
// thread, and the self-update hands the guard over from a worker thread.

#include <windows.h>

#include <filesystem>
#include <string>

// How long a launcher waits for a guard whose owner shows no window (one
// that is still starting, or closing for a hand-over).
inline constexpr unsigned kInstanceGuardWaitMs = 5000;

// The guard object's name for a launcher folder.
std::wstring instanceGuardName(const std::filesystem::path& launcherDir);

// Takes the guard for the folder. False when another launcher holds it: its
// window has been brought to the front (or none appeared in time), and this
// process should end. True also when the system cannot make the guard at all.
[[nodiscard]] bool takeInstanceGuard(const std::filesystem::path& launcherDir);

// Records the launcher's window in the guard this process holds.
void recordLauncherWindow(HWND window);

// Gives the guard up, for a successor that starts before this process ends.
void releaseInstanceGuard();

// Takes the guard back after a hand-over that failed; no wait, no window.
void retakeInstanceGuard();
