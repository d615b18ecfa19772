#include "startup/bootstrap.h"

#include "base/install_files.h"
#include "base/product.h"
#include "base/utf8_paths.h"
#include "startup/install_location.h"
#include "startup/instance_guard.h"
#include "startup/uninstall.h"
#include "ui/graphics.h"
#include "ui/launcher_state.h"
#include "ui/main_window.h"

#include <shellapi.h>

#include <system_error>

namespace {

constexpr int kCopyAttempts = 6;
constexpr DWORD kCopyPauseMs = 700;
constexpr wchar_t kCannotReplaceText[] =
    L"The Tinderhallow launcher is already open and could not be replaced with this newer one.\n\n"
    L"Close Tinderhallow (check the Task Manager for Tinderhallow.exe), then run this file again.";

// Any kind of entry whose status can be read; an unreadable status counts as none.
bool entryExists(const std::filesystem::path& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    return !ec && std::filesystem::exists(status);
}

void closeWindowsOfClass(const wchar_t* className) {
    for (HWND window = FindWindowW(className, nullptr); window != nullptr;
         window = FindWindowExW(nullptr, window, className, nullptr)) {
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
}

}  // namespace

void closeRunningLaunchers() {
    closeWindowsOfClass(kLauncherWindowClass);
    closeWindowsOfClass(kEarlierWindowClass);
}

bool bootstrapInstall() {
    const std::filesystem::path self = moduleFilePath();
    const std::filesystem::path source = self.parent_path();
    // A game or release folder: the launcher belongs there.
    if (entryExists(source / kGameExeName)) return false;
    if (entryExists(source / kReleaseListName)) return false;

    const std::filesystem::path installDir = resolveInstallDir();
    if (sameDirectory(source, installDir)) return false;
    std::error_code ec;
    std::filesystem::create_directories(installDir, ec);
    if (ec) return false;

    const std::filesystem::path target = installDir / pathFromUtf8(kLauncherExeName);
    bool copied = false;
    for (int attempt = 1; attempt <= kCopyAttempts; ++attempt) {
        if (CopyFileW(self.c_str(), target.c_str(), FALSE)) {
            copied = true;
            break;
        }
        // The installed copy is running: ask it to close, once.
        if (attempt == 1) closeRunningLaunchers();
        Sleep(kCopyPauseMs);
    }
    if (!copied) {
        MessageBoxW(nullptr, kCannotReplaceText, L"Tinderhallow", MB_OK | MB_ICONINFORMATION);
        return true;
    }

    writeFileIfMissing(installDir / kPatchSourceSettingName, kDefaultPatchSource);
    writeFileIfMissing(installDir / kServerUrlSettingName, kDefaultServerUrl);
    createDesktopShortcut(target, installDir);
    createStartMenuShortcut(target, installDir);
    // Settings > Apps lists the game and removes it (--uninstall); best effort like the shortcuts.
    (void)registerUninstallEntry(installDir);

    const HINSTANCE started =
        ShellExecuteW(nullptr, L"open", target.c_str(), nullptr, installDir.c_str(), SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(started) > 32;
}

void removeSelfUpdateLeftovers(const std::filesystem::path& launcherDir) {
    std::error_code ec;
    std::filesystem::remove(launcherDir / L"Tinderhallow.exe.old", ec);
    std::filesystem::remove(launcherDir / L"Tinderhallow.exe.new", ec);
}

int runStartup(HINSTANCE instance, int showCommand) {
    if (bootstrapInstall()) return 0;
    const std::filesystem::path launcherDir = moduleDirectory();
    // One launcher per folder: a second one shows the first and ends.
    if (!takeInstanceGuard(launcherDir)) return 0;
    setLauncherDir(launcherDir);
    removeSelfUpdateLeftovers(launcherDir);
    // The background is prepared by the window code while the window is created.
    const ULONG_PTR graphics = startGraphics();
    return runLauncherWindow(instance, showCommand, graphics);
}
