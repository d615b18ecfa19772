#include "startup/uninstall.h"

#include "base/diagnostic_log.h"
#include "base/fail.h"
#include "base/folder_identity.h"
#include "base/handles.h"
#include "base/install_files.h"
#include "base/product.h"
#include "base/utf8_paths.h"
#include "base/version.h"
#include "base/windows_error.h"
#include "startup/install_location.h"
#include "ui/background_cache.h"
#include "update/windows_names.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kRemoveAttempts = 6;
constexpr DWORD kRemovePauseMs = 700;
const std::wstring kLauncherFile = utf8ToWide(kLauncherExeName);
constexpr wchar_t kTitle[] = L"Tinderhallow";

std::string windowsError(const fs::path& path, DWORD code) {
    return withWindowsError("Could not remove " + pathToUtf8(path), code);
}

// Absolute, normalised, without a trailing separator.
fs::path plainFolder(const fs::path& dir) {
    std::error_code ec;
    fs::path result = fs::weakly_canonical(dir, ec);
    if (ec) result = fs::absolute(dir, ec).lexically_normal();
    if (ec) return {};
    while (!result.has_filename() && result.has_relative_path()) result = result.parent_path();
    return result.make_preferred();
}

// `inner` is `outer` or lies somewhere below it (letter case ignored as
// Windows ignores it in names).
bool sameOrBelow(const fs::path& inner, const fs::path& outer) {
    const std::wstring a = plainFolder(inner).wstring();
    const std::wstring b = plainFolder(outer).wstring();
    if (a.empty() || b.empty()) return false;
    if (sameNameIgnoringCase(a, b)) return true;
    return a.size() > b.size() && sameNameIgnoringCase(std::wstring_view(a).substr(0, b.size()), b) &&
           (a[b.size()] == L'\\' || b.back() == L'\\');
}

// "\\?\" form, so that deep game paths are reached whatever the system's
// path length limit.
std::wstring extendedPath(const fs::path& path) {
    const std::wstring text = fs::path(path).make_preferred().wstring();
    if (text.rfind(L"\\\\?\\", 0) == 0) return text;
    if (text.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + text.substr(2);
    return L"\\\\?\\" + text;
}

bool isMissing(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

bool deleteFile(const fs::path& path, std::string* error) {
    const std::wstring name = extendedPath(path);
    // Game files may be read-only; that must not keep them.
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (DeleteFileW(name.c_str())) return true;
    const DWORD code = GetLastError();
    return isMissing(code) || fail(error, windowsError(path, code));
}

bool removeEmptyFolder(const fs::path& path, std::string* error) {
    if (RemoveDirectoryW(extendedPath(path).c_str())) return true;
    const DWORD code = GetLastError();
    return isMissing(code) || fail(error, windowsError(path, code));
}

// Everything below `dir`, except its entry named `keep` (any letter case).
// A link (symbolic link, junction) is removed itself and never followed:
// what it points at is not ours.
bool removeContents(const fs::path& dir, const std::wstring& keep, std::string* error) {
    WIN32_FIND_DATAW found{};
    const FileSearch search(FindFirstFileExW(extendedPath(dir / L"*").c_str(), FindExInfoBasic, &found,
                                             FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!search) {
        const DWORD code = GetLastError();
        return isMissing(code) || code == ERROR_NO_MORE_FILES || fail(error, windowsError(dir, code));
    }
    bool ok = true;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (!keep.empty() && sameNameIgnoringCase(name, keep)) continue;
        const fs::path path = dir / name;
        const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (folder && !link) {
            ok = removeContents(path, L"", error) && removeEmptyFolder(path, error);
        } else if (folder) {
            ok = removeEmptyFolder(path, error);
        } else {
            ok = deleteFile(path, error);
        }
    } while (ok && FindNextFileW(search.get(), &found));
    return ok;
}

// A running program cannot be deleted, but it can be renamed: the launcher
// that uninstalls its own folder moves itself to the temporary folder (or,
// on another drive, beside the folder) and asks for removal at the next
// restart, which Windows grants only to administrators; otherwise the
// system's clean-up of temporary files takes it.
bool moveSelfAway(const fs::path& launcher, const fs::path& installDir, std::string* error) {
    const std::wstring name = L"Tinderhallow-uninstall-" + std::to_wstring(GetCurrentProcessId()) + L".exe";
    std::vector<fs::path> places;
    if (const fs::path temp = tempFolder(); !temp.empty()) places.push_back(temp / name);
    places.push_back(installDir.parent_path() / (L"." + name));
    DWORD code = ERROR_SUCCESS;
    for (const fs::path& place : places) {
        if (MoveFileExW(extendedPath(launcher).c_str(), extendedPath(place).c_str(), MOVEFILE_REPLACE_EXISTING)) {
            MoveFileExW(extendedPath(place).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
            return true;
        }
        code = GetLastError();
        if (isMissing(code)) return true;  // moved away by an earlier attempt
    }
    return fail(error, windowsError(launcher, code));
}

// Asks every launcher window whose program is `launcher` to close (the
// player's other installations stay open).
void closeLaunchersOf(const fs::path& launcher) {
    for (HWND window = FindWindowW(kLauncherWindowClass, nullptr); window != nullptr;
         window = FindWindowExW(nullptr, window, kLauncherWindowClass, nullptr)) {
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        const KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
        if (!process) continue;
        std::wstring image(32768, L'\0');
        DWORD length = static_cast<DWORD>(image.size());
        const bool named = QueryFullProcessImageNameW(process.get(), 0, image.data(), &length) != 0;
        if (named && sameDirectory(fs::path(image.substr(0, length)), launcher)) PostMessageW(window, WM_CLOSE, 0, 0);
    }
}

void removeShortcutTo(const fs::path& link, const fs::path& launcher) {
    if (link.empty()) return;
    const fs::path target = shellLinkTarget(link);
    // Only a shortcut that starts this installation's launcher.
    if (!target.empty() && sameDirectory(target, launcher)) DeleteFileW(link.c_str());
}

// The window's kept background and the diagnostic logs live outside the
// install folder; their folder goes too once empty, unless it is the install
// folder (removed already). A log folder it cannot empty is kept.
void removeKeptBackground(const fs::path& installDir) {
    const fs::path cache = backgroundCachePath();
    if (cache.empty()) return;
    std::string ignored;
    if (const fs::path logs = defaultLogFolder(); !logs.empty() && logs.parent_path() == cache.parent_path()) {
        for (const wchar_t* name : {L"launcher.log", L"launcher.log.1", L"launcher.log.2"}) {
            (void)deleteFile(logs / name, &ignored);
        }
        RemoveDirectoryW(extendedPath(logs).c_str());  // only when empty
    }
    if (!deleteFile(cache, &ignored)) return;  // a copy only: a launcher reading it right now keeps it
    const fs::path folder = cache.parent_path();
    if (!sameDirectory(folder, installDir)) RemoveDirectoryW(extendedPath(folder).c_str());  // only when empty
}

int showMessage(const std::wstring& text, UINT type) { return MessageBoxW(nullptr, text.c_str(), kTitle, type); }

}  // namespace

LaunchArguments parseLaunchArguments(const wchar_t* commandLine) {
    LaunchArguments arguments;
    if (commandLine == nullptr) return arguments;
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(commandLine, &count);
    if (words == nullptr) return arguments;
    for (int i = 1; i < count; ++i) {
        const std::wstring word = words[i];
        if (word == L"--uninstall") arguments.uninstall = true;
        else if (word == L"--quiet") arguments.quiet = true;
    }
    LocalFree(words);
    arguments.quiet = arguments.quiet && arguments.uninstall;
    return arguments;
}

bool registerUninstallEntry(const fs::path& installDir, std::string* error) {
    const fs::path dir = plainFolder(installDir);
    if (dir.empty()) return fail(error, "The install folder " + pathToUtf8(installDir) + " has no full path.");
    return writeUninstallEntry(dir, error);
}

fs::path registeredInstallFolder() {
    DWORD size = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, kUninstallKey, L"InstallLocation", RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
            ERROR_SUCCESS ||
        size < sizeof(wchar_t))
        return {};
    std::wstring value(size / sizeof(wchar_t), L'\0');
    if (RegGetValueW(HKEY_CURRENT_USER, kUninstallKey, L"InstallLocation", RRF_RT_REG_SZ, nullptr, value.data(),
                     &size) != ERROR_SUCCESS)
        return {};
    value.resize(wcsnlen(value.c_str(), value.size()));
    return fs::path(value);
}

bool isRemovableInstallFolder(const fs::path& dir, std::string* error) {
    const std::string shown = pathToUtf8(dir);
    if (dir.empty() || !dir.is_absolute()) return fail(error, shown + " is not a full path.");
    const fs::path folder = plainFolder(dir);
    // A drive or share root is never an installation.
    const fs::path relative = folder.relative_path();
    const auto depth = std::distance(relative.begin(), relative.end());
    const bool share = folder.root_name().wstring().rfind(L"\\\\", 0) == 0;
    if (folder.empty() || depth < (share ? 2 : 1)) return fail(error, shown + " is a drive or share root.");
    // However it is named: a drive alias, a short name, a link.
    if (isOrHoldsProtectedFolder(folder)) return fail(error, shown + " is or holds a system or user folder.");
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return fail(error, shown + " is not a folder.");
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return fail(error, shown + " is a link to another folder.");
    for (const fs::path& kept : protectedFolders()) {
        if (sameOrBelow(kept, folder)) return fail(error, shown + " is or holds a system or user folder.");
    }
    std::error_code ec;
    if (!fs::is_regular_file(folder / kLauncherFile, ec)) return fail(error, shown + " holds no Tinderhallow.exe.");
    bool installed = false;
    for (const wchar_t* marker : {kReleaseListName, kPatchSourceSettingName, kServerUrlSettingName}) {
        installed = installed || fs::is_regular_file(folder / marker, ec);
    }
    if (!installed) return fail(error, shown + " is not a Tinderhallow installation.");
    if (fs::exists(fs::symlink_status(folder / kSignatureFolderName, ec)))
        return fail(error, shown + " is a release folder.");
    return true;
}

bool removeInstallation(const fs::path& installDir, std::string* error) {
    if (!isRemovableInstallFolder(installDir, error)) return false;
    const fs::path dir = plainFolder(installDir);
    const fs::path launcher = dir / kLauncherFile;
    const bool removingSelf = sameDirectory(moduleFilePath(), launcher);
    // A current directory inside the folder would keep it from being removed.
    if (const fs::path temp = tempFolder(); !temp.empty()) SetCurrentDirectoryW(temp.c_str());

    std::string failure;
    bool removed = false;
    for (int attempt = 1; attempt <= kRemoveAttempts && !removed; ++attempt) {
        // The launcher goes last: until then a failed attempt leaves a
        // launcher that can repair the game or uninstall again.
        removed = removeContents(dir, kLauncherFile, &failure) &&
                  (removingSelf ? moveSelfAway(launcher, dir, &failure) : deleteFile(launcher, &failure)) &&
                  removeEmptyFolder(dir, &failure);
        if (removed) break;
        // A launcher still open from this folder holds its files.
        if (attempt == 1) closeLaunchersOf(launcher);
        Sleep(kRemovePauseMs);
    }
    if (!removed) return fail(error, failure);

    removeShortcutTo(desktopShortcutPath(), launcher);
    removeShortcutTo(startMenuShortcutPath(), launcher);
    removeKeptBackground(dir);
    // Only the entry of this installation.
    if (const std::wstring entry = uninstallEntryKey(dir); !entry.empty())
        RegDeleteKeyW(HKEY_CURRENT_USER, entry.c_str());
    return true;
}

int runUninstall(bool quiet) {
    fs::path folder = moduleDirectory();
    if (!isRemovableInstallFolder(folder)) {
        folder = registeredInstallFolder();
        if (folder.empty() || !isRemovableInstallFolder(folder)) {
            if (!quiet)
                showMessage(L"No Tinderhallow installation was found for this account, so nothing was removed.",
                            MB_OK | MB_ICONINFORMATION);
            return 1;
        }
    }
    folder = plainFolder(folder);
    if (!quiet) {
        const std::wstring question = L"Remove Tinderhallow from this computer?\n\nThis deletes the folder " +
                                      folder.wstring() +
                                      L" with the game and everything in it, the Tinderhallow shortcuts and the "
                                      L"remembered account name.";
        if (showMessage(question, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) return 1;
    }
    std::string error;
    if (!removeInstallation(folder, &error)) {
        if (!quiet)
            showMessage(L"Tinderhallow could not be removed completely. " + utf8ToWide(error) +
                            L"\n\nClose Tinderhallow and the game, then try again.",
                        MB_OK | MB_ICONWARNING);
        return 1;
    }
    if (!quiet) showMessage(L"Tinderhallow was removed from this computer.", MB_OK | MB_ICONINFORMATION);
    return 0;
}
