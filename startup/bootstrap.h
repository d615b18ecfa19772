#pragma once
// Process start-up: the self-install hand-off to the installed copy, then the
// launcher folder, the self-update leftovers, graphics and the window.

#include <windows.h>

#include <filesystem>

// Posts WM_CLOSE to every launcher window, this generation's and the earlier
// one's, whose program runs from `installDir`.
void closeRunningLaunchers(const std::filesystem::path& installDir);

// Installs this copy and starts the installed one when it runs from anywhere
// else. True when this process must end now (handed over, or the player was
// told a running copy could not be replaced); false to run in place.
[[nodiscard]] bool bootstrapInstall();

// Deletes "Tinderhallow.exe.old" and "Tinderhallow.exe.new"; failures are ignored.
void removeSelfUpdateLeftovers(const std::filesystem::path& launcherDir);

// The whole start-up sequence; returns the process exit code.
int runStartup(HINSTANCE instance, int showCommand);
