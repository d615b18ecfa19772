#pragma once
// Replacing the launcher's own executable with the copy a release carries:
// the running file moves aside to ".old", the new one takes its name, and the
// new launcher is started while this one closes.

#include "base/product.h"
#include "update/manifest.h"

#include <cstdint>
#include <filesystem>
#include <string>

// True when a release path names the launcher's own file in `launcherDir`
// the way Windows reads it: a top-level "Tinderhallow.exe" in any letter
// case, or an 8.3 short name of it.
bool isLauncherEntry(const std::filesystem::path& launcherDir, const std::filesystem::path& relativePath);

// Fetches (remote source) or takes (folder source) the release's launcher,
// verifies it against `entry`, swaps it for the running executable, starts it
// and posts WM_CLOSE to mainWindow. True only when the new launcher runs;
// false leaves the running launcher in place (or restores it).
[[nodiscard]] bool selfUpdateLauncher(const std::string& patchSource, const std::filesystem::path& releaseFolder,
                                      const ManifestFile& entry);

// The file swap: copies `source` to `newFile`, moves `target` aside to
// `oldFile` and `newFile` into its place. A failure after the copy returns to
// the state before as far as it can (`newFile` removed, or `oldFile` moved
// back). selfUpdateLauncher passes target + ".new" and target + ".old".
[[nodiscard]] bool swapLauncherFile(const std::filesystem::path& source, const std::filesystem::path& target,
                                    const std::filesystem::path& newFile, const std::filesystem::path& oldFile);
