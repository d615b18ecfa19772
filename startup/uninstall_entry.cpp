#include "startup/uninstall_entry.h"

#include "base/handles.h"
#include "base/product.h"
#include "base/utf8_paths.h"
#include "base/version.h"
#include "base/windows_error.h"
#include "startup/install_location.h"
#include "update/file_hash.h"
#include "update/windows_names.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

bool fail(std::string* error, std::string message) {
    if (error != nullptr) *error = std::move(message);
    return false;
}

LSTATUS setString(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

LSTATUS setNumber(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

std::wstring readString(const std::wstring& key, const wchar_t* name) {
    DWORD size = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS ||
        size < sizeof(wchar_t))
        return {};
    std::wstring value(size / sizeof(wchar_t), L'\0');
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value.data(), &size) !=
        ERROR_SUCCESS)
        return {};
    value.resize(wcsnlen(value.c_str(), value.size()));
    return value;
}

bool keyExists(const std::wstring& key) {
    RegistryKey opened;
    return RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, opened.put()) == ERROR_SUCCESS;
}

// "Tinderhallow-" + 16 hex digits of the digest of the folder's identity.
std::wstring folderKey(const fs::path& installDir) {
    const std::string identity = wideToUtf8(folderIdentity(installDir));
    std::vector<std::uint8_t> digest;
    if (!sha256Digest(std::vector<std::uint8_t>(identity.begin(), identity.end()), digest)) return {};
    return std::wstring(kUninstallKey) + L"-" + utf8ToWide(digestToHex(digest.data(), 8));
}

bool names(const std::wstring& key, const fs::path& installDir) {
    const std::wstring location = readString(key, L"InstallLocation");
    return !location.empty() && sameDirectory(fs::path(location), installDir);
}

std::uint64_t folderBytes(const fs::path& dir) {
    std::uint64_t total = 0;
    std::error_code ec;
    fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code sizeError;
        if (it->is_regular_file(sizeError)) {
            const std::uintmax_t size = it->file_size(sizeError);
            if (!sizeError) total += size;
        }
    }
    return total;
}

DWORD estimatedKilobytes(const fs::path& dir) {
    return static_cast<DWORD>(std::min<std::uint64_t>((folderBytes(dir) + 1023) / 1024, MAXDWORD));
}

}  // namespace

std::wstring uninstallEntryKey(const fs::path& installDir) {
    if (names(kUninstallKey, installDir)) return kUninstallKey;
    const std::wstring own = folderKey(installDir);
    return !own.empty() && names(own, installDir) ? own : std::wstring();
}

bool writeUninstallEntry(const fs::path& dir, std::string* error) {
    std::wstring name = uninstallEntryKey(dir);
    if (name.empty()) {
        // The shared name stays with an installation that still has its launcher.
        const std::wstring other = readString(kUninstallKey, L"InstallLocation");
        std::error_code ec;
        const bool taken = keyExists(kUninstallKey) && !other.empty() &&
                           fs::is_regular_file(fs::path(other) / pathFromUtf8(kLauncherExeName), ec);
        name = taken ? folderKey(dir) : std::wstring(kUninstallKey);
    }
    if (name.empty()) return fail(error, "Could not name the uninstall entry of " + pathToUtf8(dir) + ".");
    const std::wstring launcher = (dir / pathFromUtf8(kLauncherExeName)).wstring();
    RegistryKey key;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS)
        return fail(error, withWindowsError("Could not create the uninstall entry", static_cast<DWORD>(status)));
    const std::pair<const wchar_t*, std::wstring> strings[] = {
        {L"DisplayName", L"Tinderhallow"},
        {L"DisplayIcon", launcher + L",0"},
        {L"DisplayVersion", utf8ToWide(TINDERHALLOW_VERSION_TEXT)},
        {L"Publisher", utf8ToWide(TINDERHALLOW_PUBLISHER)},
        {L"InstallLocation", dir.wstring()},
        {L"UninstallString", L"\"" + launcher + L"\" --uninstall"},
        {L"QuietUninstallString", L"\"" + launcher + L"\" --uninstall --quiet"},
    };
    for (const auto& [value, text] : strings) {
        if (status == ERROR_SUCCESS) status = setString(key.get(), value, text);
    }
    const std::pair<const wchar_t*, DWORD> numbers[] = {
        {L"EstimatedSize", estimatedKilobytes(dir)},
        {L"NoModify", 1},
        {L"NoRepair", 1},
    };
    for (const auto& [value, number] : numbers) {
        if (status == ERROR_SUCCESS) status = setNumber(key.get(), value, number);
    }
    if (status != ERROR_SUCCESS)
        return fail(error, withWindowsError("Could not write the uninstall entry", static_cast<DWORD>(status)));
    return true;
}

void refreshUninstallEntry(const fs::path& installDir, bool onlyNewVersion) {
    const std::wstring name = uninstallEntryKey(installDir);
    if (name.empty()) return;  // a copy that was never installed gets no entry
    const std::wstring version = utf8ToWide(TINDERHALLOW_VERSION_TEXT);
    if (onlyNewVersion && readString(name, L"DisplayVersion") == version) return;
    RegistryKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, name.c_str(), 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS) return;
    (void)setString(key.get(), L"DisplayVersion", version);
    (void)setNumber(key.get(), L"EstimatedSize", estimatedKilobytes(installDir));
}
