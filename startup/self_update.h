#pragma once
// Replacing the launcher's own executable with the copy a release carries:
// the running file moves aside to ".old", the new one takes its name, and the
// new launcher is started while this one closes.

#include "update/manifest.h"

#include <filesystem>
#include <string>

// Fetches (remote source) or takes (folder source) the release's launcher,
// verifies it against `entry`, swaps it for the running executable, starts it
// and asks the window to close (requestWindowClose). True only when the new
// launcher runs; false leaves the running launcher in place (or restores it).
[[nodiscard]] bool selfUpdateLauncher(const std::string& patchSource, const std::filesystem::path& releaseFolder,
                                      const ManifestFile& entry);
