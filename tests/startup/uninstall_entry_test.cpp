#include "startup/uninstall_entry.h"

#include "base/utf8_paths.h"
#include "base/version.h"
#include "delivery/release_check.h"
#include "tests/support/test_paths.h"
#include "ui/launcher_state.h"
#include "update/file_hash.h"
#include "update/update_worker.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace fs = std::filesystem;

namespace {

std::wstring entryText(const std::wstring& key, const wchar_t* name) {
    wchar_t value[1024] = {};
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return {};
    return value;
}

DWORD entryNumber(const std::wstring& key, const wchar_t* name) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        return 0;
    return value;
}

// Two installations each keep an entry of their own that names them, and an
// update or a new launcher version shows in Settings > Apps: before, every
// install wrote the one shared key, and the first version and size stayed.
TEST(UninstallEntry, KeepsOneEntryPerInstallFolderTrueAfterUpdates) {
    ScratchDir dir;
    const fs::path first = dir / L"first";
    const fs::path second = dir / L"second";
    const fs::path release = dir / L"release";
    for (const fs::path& folder : {first, second}) writeTextFile(folder / L"Tinderhallow.exe", "launcher");
    ASSERT_TRUE(writeUninstallEntry(first));
    ASSERT_TRUE(writeUninstallEntry(second));
    const std::wstring firstKey = uninstallEntryKey(first);
    const std::wstring secondKey = uninstallEntryKey(second);
    ASSERT_FALSE(firstKey.empty());
    ASSERT_FALSE(secondKey.empty());
    EXPECT_NE(firstKey, secondKey);
    EXPECT_EQ(entryText(firstKey, L"InstallLocation"), first.wstring());
    EXPECT_EQ(entryText(secondKey, L"InstallLocation"), second.wstring());

    // An update adds 2 MiB to the first installation.
    const std::string pak(2 * 1024 * 1024, 'p');
    writeTextFile(release / L"big.pak", pak);
    writeTextFile(release / L"update_manifest.json",
                  "{\"schemaVersion\": 1, \"releaseId\": \"r1\", \"files\": [{\"path\": \"big.pak\", \"size\": " +
                      std::to_string(pak.size()) + ", \"sha256\": \"" + sha256FileHex(release / L"big.pak") + "\"}]}");
    writeTextFile(first / L"patch_source.txt", pathToUtf8(release));
    setLauncherDir(first);
    runReleaseCheck();
    ASSERT_EQ(snapshot().title, "Update available");
    runUpdateWorker();
    ASSERT_EQ(snapshot().title, "Game is ready");
    EXPECT_GE(entryNumber(firstKey, L"EstimatedSize"), 2048u);
    EXPECT_LT(entryNumber(secondKey, L"EstimatedSize"), 2048u);

    // A new launcher version, once started, shows its own.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, firstKey.c_str(), 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    const std::wstring old = L"0.0.1";
    RegSetValueExW(key, L"DisplayVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(old.c_str()),
                   static_cast<DWORD>((old.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    refreshUninstallEntry(first, true);
    EXPECT_EQ(entryText(firstKey, L"DisplayVersion"), utf8ToWide(TINDERHALLOW_VERSION_TEXT));

    for (const std::wstring& name : {firstKey, secondKey}) RegDeleteKeyW(HKEY_CURRENT_USER, name.c_str());
}

}  // namespace
