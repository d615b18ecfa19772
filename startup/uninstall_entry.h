#pragma once
// The per-user uninstall entry (Settings > Apps) of an installation: one per
// install folder, kept true after every update. The first installation owns
// the key "Tinderhallow" (the name every earlier launcher used); another
// folder gets "Tinderhallow-" and 16 hex digits of its identity's digest.

#include <filesystem>
#include <string>

// Below HKEY_CURRENT_USER.
inline constexpr wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tinderhallow";

// The key of the entry that names `installDir`, or empty when none does.
std::wstring uninstallEntryKey(const std::filesystem::path& installDir);

// Writes the whole entry for a launcher installed in `installDir` (`dir` in
// its plain absolute form): its own key, or "Tinderhallow" when that is free
// or names a folder without a launcher.
[[nodiscard]] bool writeUninstallEntry(const std::filesystem::path& dir, std::string* error = nullptr);

// Rewrites the version and the estimated size of the entry that names
// `installDir`, if there is one; with `onlyNewVersion`, only when the entry
// shows another version than this launcher's. Best effort.
void refreshUninstallEntry(const std::filesystem::path& installDir, bool onlyNewVersion = false);
