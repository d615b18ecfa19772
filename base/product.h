#pragma once
// The product's built-in names and addresses, chosen once for the whole
// program. The addresses stand in for missing settings files.

#include <cstdint>

inline constexpr const char* kDefaultPatchSource = "https://download.tinderhallow.example/test";
inline constexpr const char* kDefaultServerUrl = "https://play.tinderhallow.example";
inline constexpr const char* kWebsiteUrl = "https://www.tinderhallow.example";

// The launcher's file name inside an install folder and inside a release.
inline constexpr char kLauncherExeName[] = "Tinderhallow.exe";
// The game, started from the launcher folder.
inline constexpr const wchar_t* kGameExeName = L"TinderhallowGame.exe";
// This launcher's version, checked against a release's minimum.
inline constexpr std::int32_t kLauncherVersion = 1;

// The launcher window's class, and the earlier generation's, whose windows a
// self-install closes too.
inline constexpr wchar_t kLauncherWindowClass[] = L"TinderhallowLauncherWindow";
inline constexpr wchar_t kEarlierWindowClass[] = L"QuarrelLauncherWindow";
