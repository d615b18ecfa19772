#include "startup/bootstrap.h"

#include "base/diagnostic_log.h"
#include "base/handles.h"
#include "base/http_url.h"
#include "base/install_files.h"
#include "base/product.h"
#include "base/utf8_paths.h"
#include "delivery/patch_source.h"
#include "startup/install_location.h"
#include "startup/instance_guard.h"
#include "startup/uninstall.h"
#include "ui/graphics.h"
#include "ui/launcher_state.h"
#include "ui/main_window.h"
#include "update/folder_work_lock.h"

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

// The program file of the process that owns `window`, or empty.
std::filesystem::path programOf(HWND window) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    const KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return {};
    std::wstring image(32768, L'\0');
    DWORD length = static_cast<DWORD>(image.size());
    if (!QueryFullProcessImageNameW(process.get(), 0, image.data(), &length)) return {};
    return std::filesystem::path(image.substr(0, length));
}

void closeWindowsOfClass(const wchar_t* className, const std::filesystem::path& installDir) {
    for (HWND window = FindWindowW(className, nullptr); window != nullptr;
         window = FindWindowExW(nullptr, window, className, nullptr)) {
        const std::filesystem::path program = programOf(window);
        if (!program.empty() && sameDirectory(program.parent_path(), installDir)) PostMessageW(window, WM_CLOSE, 0, 0);
    }
}

// A launcher applying an update (or checking the game) holds the folder's
// work lock: closing it then would stop the update half-way. Waits for it, asking the player to
// wait longer or give up. False when the player gave up or the folder cannot
// be locked at all (said so already).
bool waitForFolderWork(const std::filesystem::path& installDir, FolderWorkLock& workLock) {
    std::string error;
    while (!workLock.acquire(installDir, &error)) {
        if (error != kFolderBusyMessage) {
            MessageBoxW(nullptr, (utf8ToWide(error) + L"\n\nNothing was installed.").c_str(), L"Tinderhallow",
                        MB_OK | MB_ICONWARNING);
            return false;
        }
        const std::wstring text = L"A Tinderhallow launcher is checking or updating the game in " +
                                  installDir.wstring() +
                                  L".\n\nLet it finish, then press Retry to install this launcher.";
        if (MessageBoxW(nullptr, text.c_str(), L"Tinderhallow", MB_RETRYCANCEL | MB_ICONINFORMATION) != IDRETRY)
            return false;
    }
    return true;
}

// The source's kind and host: a signed URL's query or a folder's user name stays out.
void logPatchSource(const std::filesystem::path& launcherDir) {
    const PatchSource source = classifyPatchSource(readPatchSource(launcherDir));
    std::string text = "Launcher folder " + pathToUtf8(launcherDir) + "; patch source ";
    if (source.kind == PatchSourceKind::Remote) {
        const auto parts = crackHttpUrl(utf8ToWide(source.text));
        text += "remote, host " + (parts ? wideToUtf8(parts->host) : std::string("unknown"));
    } else if (source.kind == PatchSourceKind::LocalFolder) {
        text += "a local folder";
    } else {
        text += "none";
    }
    logInfo("start", text + ".");
}

}  // namespace

void closeRunningLaunchers(const std::filesystem::path& installDir) {
    closeWindowsOfClass(kLauncherWindowClass, installDir);
    closeWindowsOfClass(kEarlierWindowClass, installDir);
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

    FolderWorkLock workLock;
    if (!waitForFolderWork(installDir, workLock)) return true;
    const std::filesystem::path target = installDir / pathFromUtf8(kLauncherExeName);
    bool copied = false;
    for (int attempt = 1; attempt <= kCopyAttempts; ++attempt) {
        if (CopyFileW(self.c_str(), target.c_str(), FALSE)) {
            copied = true;
            break;
        }
        // The installed copy is running: ask it to close, once.
        if (attempt == 1) closeRunningLaunchers(installDir);
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
    workLock.release();

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
    logPatchSource(launcherDir);
    removeSelfUpdateLeftovers(launcherDir);
    // A self-update changed the version Settings > Apps shows.
    refreshUninstallEntry(launcherDir, true);
    // The background is prepared by the window code while the window is created.
    const ULONG_PTR graphics = startGraphics();
    return runLauncherWindow(instance, showCommand, graphics);
}
