#pragma once
// The product's built-in names and addresses, chosen once for the whole
// program. The addresses stand in for missing settings files; they are the
// publisher's, set as CMake cache values (docs/publishing.md).

#include "product_config.h"

#include <cstdint>

inline constexpr const char* kDefaultPatchSource = TINDERHALLOW_DEFAULT_PATCH_SOURCE;
inline constexpr const char* kDefaultServerUrl = TINDERHALLOW_DEFAULT_SERVER_URL;
inline constexpr const char* kWebsiteUrl = TINDERHALLOW_WEBSITE_URL;

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
