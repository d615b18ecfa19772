#include "startup/install_location.h"

#include "tests/support/test_paths.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <optional>

namespace fs = std::filesystem;

namespace {

// Sets (or, with nullopt, removes) a variable for the test and puts the old
// value back afterwards.
class EnvOverride {
public:
    EnvOverride(const wchar_t* name, std::optional<std::wstring> value) : name_(name) {
        wchar_t buffer[4096];
        const DWORD count = GetEnvironmentVariableW(name, buffer, 4096);
        if (count > 0 && count < 4096) old_ = std::wstring(buffer, count);
        SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
    }
    ~EnvOverride() { SetEnvironmentVariableW(name_, old_ ? old_->c_str() : nullptr); }
    EnvOverride(const EnvOverride&) = delete;
    EnvOverride& operator=(const EnvOverride&) = delete;

private:
    const wchar_t* name_;
    std::optional<std::wstring> old_;
};

// Points this prefix's desktop folder at `folder` for the test. The shell
// reads "User Shell Folders" on every call.
class DesktopRedirect {
public:
    explicit DesktopRedirect(const fs::path& folder) {
        RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key_, nullptr);
        wchar_t buffer[1024];
        DWORD size = sizeof(buffer);
        DWORD type = 0;
        if (RegQueryValueExW(key_, L"Desktop", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) ==
            ERROR_SUCCESS) {
            old_ = std::wstring(buffer, size / sizeof(wchar_t));
            oldType_ = type;
        }
        const std::wstring value = folder.wstring();
        RegSetValueExW(key_, L"Desktop", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    ~DesktopRedirect() {
        if (old_) {
            RegSetValueExW(key_, L"Desktop", 0, oldType_, reinterpret_cast<const BYTE*>(old_->data()),
                           static_cast<DWORD>(old_->size() * sizeof(wchar_t)));
        } else {
            RegDeleteValueW(key_, L"Desktop");
        }
        RegCloseKey(key_);
    }
    DesktopRedirect(const DesktopRedirect&) = delete;
    DesktopRedirect& operator=(const DesktopRedirect&) = delete;

private:
    static constexpr const wchar_t* kKey =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    HKEY key_ = nullptr;
    std::optional<std::wstring> old_;
    DWORD oldType_ = REG_EXPAND_SZ;
};

struct LinkFields {
    std::wstring path;
    std::wstring workingDir;
    std::wstring description;
    std::wstring iconPath;
    int iconIndex = -1;
};

// Reads a saved shell link back through the same COM objects.
bool readShellLink(const fs::path& linkPath, LinkFields& fields) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    bool ok = false;
    IShellLinkW* link = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link)))) {
        IPersistFile* file = nullptr;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
            if (SUCCEEDED(file->Load(linkPath.c_str(), STGM_READ))) {
                wchar_t text[MAX_PATH] = {};
                link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH);
                fields.path = text;
                link->GetWorkingDirectory(text, MAX_PATH);
                fields.workingDir = text;
                link->GetDescription(text, MAX_PATH);
                fields.description = text;
                link->GetIconLocation(text, MAX_PATH, &fields.iconIndex);
                fields.iconPath = text;
                ok = true;
            }
            file->Release();
        }
        link->Release();
    }
    CoUninitialize();
    return ok;
}

// Wine hands every saved link to its menu builder, which would put a
// desktop entry into the Unix home; the tests keep it from starting.
class ShellLinks : public ::testing::Test {
protected:
    EnvOverride noMenuBuilder_{L"WINEDLLOVERRIDES", std::wstring(L"winemenubuilder.exe=d")};
};

TEST(ModulePath, NamesTheRunningExecutableAndItsFolder) {
    const fs::path exe = moduleFilePath();
    EXPECT_EQ(exe.filename().wstring(), L"install_location_test.exe");
    EXPECT_TRUE(exe.is_absolute());
    EXPECT_EQ(moduleDirectory(), exe.parent_path());
}

TEST(ResolveInstallDir, ReturnsTheOverrideExactlyAsSetWithoutProbingIt) {
    ScratchDir scratch;
    const std::wstring text = L" " + (scratch / L"not here" / L"deeper").wstring() + L"  ";
    EnvOverride installDir(L"TINDERHALLOW_INSTALL_DIR", text);
    EXPECT_EQ(resolveInstallDir().wstring(), text);
    EXPECT_FALSE(fs::exists(scratch / L"not here"));
}

TEST(ResolveInstallDir, PrefersTheGamesFolderOnTheSystemDriveAndLeavesNoProbe) {
    ScratchDir scratch;
    EnvOverride installDir(L"TINDERHALLOW_INSTALL_DIR", std::nullopt);
    EnvOverride drive(L"SystemDrive", scratch.path().wstring());
    const fs::path expected = fs::path(scratch.path().wstring() + L"\\Games") / L"Tinderhallow";
    EXPECT_EQ(resolveInstallDir(), expected);
    EXPECT_TRUE(fs::is_directory(expected));
    EXPECT_FALSE(fs::exists(expected / L".write_test"));
}

TEST(ResolveInstallDir, FallsBackToLocalAppDataWhenTheGamesFolderCannotBeCreated) {
    ScratchDir scratch;
    writeTextFile(scratch / L"Games", "a file where the folder would go");
    EnvOverride installDir(L"TINDERHALLOW_INSTALL_DIR", std::nullopt);
    EnvOverride drive(L"SystemDrive", scratch.path().wstring());
    PWSTR localAppData = nullptr;
    ASSERT_TRUE(SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &localAppData)));
    const fs::path expected = fs::path(localAppData) / L"Tinderhallow";
    CoTaskMemFree(localAppData);
    EXPECT_EQ(resolveInstallDir(), expected);
}

TEST(IsWritableDir, CreatesMissingParentsAndRemovesItsProbe) {
    ScratchDir scratch;
    const fs::path dir = scratch / L"a" / L"b" / L"c";
    EXPECT_TRUE(isWritableDir(dir));
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST(IsWritableDir, IsFalseWhenAFileStandsInThePath) {
    ScratchDir scratch;
    writeTextFile(scratch / L"blocker", "x");
    EXPECT_FALSE(isWritableDir(scratch / L"blocker" / L"dir"));
}

TEST(SameDirectory, IgnoresAsciiCaseAndDotParts) {
    ScratchDir scratch;
    fs::create_directories(scratch / L"Install" / L"Sub");
    const fs::path plain = scratch / L"Install";
    fs::path shouted = plain.parent_path() / L"INSTALL";
    EXPECT_TRUE(sameDirectory(plain, shouted));
    EXPECT_TRUE(sameDirectory(plain, scratch / L"Install" / L"Sub" / L".." / L"."));
    EXPECT_TRUE(sameDirectory(plain, scratch / L"install" / L"not yet" / L".."));
    EXPECT_FALSE(sameDirectory(plain, scratch / L"Install" / L"Sub"));
    EXPECT_FALSE(sameDirectory(plain, scratch / L"Install2"));
}

TEST(SameDirectory, IgnoresLetterCaseBeyondAsciiAsWindowsDoes) {
    ScratchDir scratch;
    fs::create_directories(scratch / L"Install");
    EXPECT_TRUE(sameDirectory(scratch / L"Install" / L"\u00C4rger", scratch / L"install" / L"\u00E4rger"));
    EXPECT_FALSE(sameDirectory(scratch / L"Install" / L"\u00C4rger", scratch / L"Install" / L"Arger"));
}

TEST(WriteFileIfMissing, WritesOneLineWithCrLf) {
    ScratchDir scratch;
    writeFileIfMissing(scratch / L"patch_source.txt", "https://downloads.example/test");
    EXPECT_EQ(readTextFile(scratch / L"patch_source.txt"), "https://downloads.example/test\r\n");
}

TEST(WriteFileIfMissing, NeverOverwritesAnExistingFileOrFolder) {
    ScratchDir scratch;
    writeTextFile(scratch / L"server_url.txt", "http://127.0.0.1:9000\n");
    writeFileIfMissing(scratch / L"server_url.txt", "https://play.example");
    EXPECT_EQ(readTextFile(scratch / L"server_url.txt"), "http://127.0.0.1:9000\n");

    fs::create_directories(scratch / L"patch_source.txt");
    writeFileIfMissing(scratch / L"patch_source.txt", "https://downloads.example/test");
    EXPECT_TRUE(fs::is_directory(scratch / L"patch_source.txt"));
    EXPECT_TRUE(fs::is_empty(scratch / L"patch_source.txt"));
}

TEST_F(ShellLinks, WriteShellLinkStoresTargetFolderIconAndDescription) {
    ScratchDir scratch;
    const fs::path target = scratch / L"Install" / L"Tinderhallow.exe";
    writeTextFile(target, "MZ");
    const fs::path link = scratch / L"Tinderhallow.lnk";
    ASSERT_TRUE(writeShellLink(link, target, target.parent_path()));
    LinkFields fields;
    ASSERT_TRUE(readShellLink(link, fields));
    EXPECT_TRUE(sameDirectory(fields.path, target)) << fs::path(fields.path).string();
    EXPECT_TRUE(sameDirectory(fields.workingDir, target.parent_path()));
    EXPECT_EQ(fields.description, L"Tinderhallow");
    EXPECT_TRUE(sameDirectory(fields.iconPath, target));
    EXPECT_EQ(fields.iconIndex, 0);
}

TEST_F(ShellLinks, CreateDesktopShortcutReplacesAnExistingShortcut) {
    ScratchDir scratch;
    const fs::path desktop = scratch / L"Desktop";
    fs::create_directories(desktop);
    writeTextFile(desktop / L"Tinderhallow.lnk", "not a link");
    const fs::path target = scratch / L"Install" / L"Tinderhallow.exe";
    writeTextFile(target, "MZ");
    EnvOverride noShortcut(L"TINDERHALLOW_NO_SHORTCUT", std::nullopt);
    DesktopRedirect redirect(desktop);
    createDesktopShortcut(target, target.parent_path());
    LinkFields fields;
    ASSERT_TRUE(readShellLink(desktop / L"Tinderhallow.lnk", fields));
    EXPECT_TRUE(sameDirectory(fields.path, target));
}

TEST_F(ShellLinks, CreateDesktopShortcutDoesNothingWhileSuppressedEvenByAnEmptyValue) {
    ScratchDir scratch;
    const fs::path desktop = scratch / L"Desktop";
    fs::create_directories(desktop);
    const fs::path target = scratch / L"Install" / L"Tinderhallow.exe";
    writeTextFile(target, "MZ");
    DesktopRedirect redirect(desktop);
    {
        EnvOverride noShortcut(L"TINDERHALLOW_NO_SHORTCUT", std::wstring(L"1"));
        createDesktopShortcut(target, target.parent_path());
        EXPECT_FALSE(fs::exists(desktop / L"Tinderhallow.lnk"));
    }
    {
        EnvOverride noShortcut(L"TINDERHALLOW_NO_SHORTCUT", std::wstring());
        createDesktopShortcut(target, target.parent_path());
        EXPECT_FALSE(fs::exists(desktop / L"Tinderhallow.lnk"));
    }
}

}  // namespace
