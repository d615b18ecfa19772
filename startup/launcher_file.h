#pragma once
// The launcher's own executable: knowing it in a release under every
// spelling Windows accepts, and swapping it for a newer copy while it runs.

#include <filesystem>

// True when a release path names the launcher's own file in `launcherDir`
// the way Windows reads it: a top-level "Tinderhallow.exe" in any letter
// case, or an 8.3 short name of it.
bool isLauncherEntry(const std::filesystem::path& launcherDir, const std::filesystem::path& relativePath);

// True when this process runs as `target` (case and 8.3 names ignored).
bool runsAsInstalledLauncher(const std::filesystem::path& target);

// The file swap: copies `source` to `newFile`, moves `target` aside to
// `oldFile` and `newFile` into its place. A failure after the copy returns to
// the state before as far as it can (`newFile` removed, or `oldFile` moved
// back). The self-update passes target + ".new" and target + ".old".
[[nodiscard]] bool swapLauncherFile(const std::filesystem::path& source, const std::filesystem::path& target,
                                    const std::filesystem::path& newFile, const std::filesystem::path& oldFile);
