#pragma once
// The two one-line settings files of the account side, beside the launcher:
// "server_url.txt" (game service address) and "launcher_account.txt"
// (remembered account name). None of these report errors.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

// Longest remembered account name, in bytes.
inline constexpr std::size_t kMaxRememberedAccountBytes = 20;
// Longest first line read from a settings file; a longer one reads as empty
// rather than being pulled into memory whole.
inline constexpr std::size_t kMaxSettingLineBytes = 64 * 1024;

// Drops trailing CR, LF, spaces and tabs, leading spaces and tabs, then one
// UTF-8 byte-order mark.
std::string trimSettingLine(std::string_view line);

// The game service address without trailing "/". The built-in address only
// when the file does not exist; an unreadable or empty one gives "".
std::string loadServerUrl(const std::filesystem::path& launcherDir);

// The remembered name, or "" when missing, unreadable or over 20 bytes.
std::string loadRememberedAccount(const std::filesystem::path& launcherDir);

// Writes the name and a line break, or deletes the file for an empty name.
void saveRememberedAccount(const std::filesystem::path& launcherDir, const std::string& accountName);
