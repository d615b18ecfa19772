#include "startup/self_update.h"

#include "base/utf8_paths.h"
#include "delivery/download_client.h"
#include "startup/install_location.h"
#include "startup/instance_guard.h"
#include "ui/launcher_state.h"
#include "update/file_hash.h"
#include "update/windows_names.h"

#include <windows.h>
#include <shellapi.h>

#include <system_error>

namespace fs = std::filesystem;

namespace {

fs::path withSuffix(const fs::path& path, const wchar_t* suffix) {
    fs::path result = path;
    result += suffix;
    return result;
}

// The path as Windows names the file: canonical, long elements, "\" only.
std::wstring comparablePath(const fs::path& path, std::error_code& ec) {
    std::wstring text = longPathName(fs::weakly_canonical(path, ec)).native();
    for (wchar_t& c : text) {
        if (c == L'/') c = L'\\';
    }
    return text;
}

// Only a launcher that runs as <launcherDir>\Tinderhallow.exe replaces itself;
// "TINDERHALLOW.EXE" or an 8.3 name of it is that same file.
bool runsAsInstalledLauncher(const fs::path& target) {
    std::error_code ec;
    const std::wstring canonicalTarget = comparablePath(target, ec);
    if (ec) return false;
    const std::wstring canonicalModule = comparablePath(moduleFilePath(), ec);
    if (ec) return false;
    return sameNameIgnoringCase(canonicalTarget, canonicalModule);
}

}  // namespace

bool isLauncherEntry(const fs::path& launcherDir, const fs::path& relativePath) {
    if (relativePath.empty() || relativePath.has_parent_path()) return false;
    // An 8.3 name such as TINDER~1.EXE reaches the launcher too.
    const fs::path name = longPathName(launcherDir / relativePath).filename();
    return sameNameIgnoringCase(name.native(), utf8ToWide(kLauncherExeName));
}

bool swapLauncherFile(const fs::path& source, const fs::path& target, const fs::path& newFile,
                      const fs::path& oldFile) {
    if (!CopyFileW(source.c_str(), newFile.c_str(), FALSE)) return false;
    DeleteFileW(oldFile.c_str());
    // A running executable cannot be overwritten, but it can be renamed.
    if (!MoveFileExW(target.c_str(), oldFile.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(newFile.c_str());
        return false;
    }
    if (!MoveFileExW(newFile.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        MoveFileExW(oldFile.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
        return false;
    }
    return true;
}

bool selfUpdateLauncher(const std::string& patchSource, const fs::path& releaseFolder, const ManifestFile& entry) {
    const fs::path launcherDir = launcherState().launcherDir;
    const fs::path target = launcherDir / pathFromUtf8(kLauncherExeName);
    if (!runsAsInstalledLauncher(target)) return false;

    SetStatus(Checking, "Updating the launcher", "A newer launcher is available", 0.3f);
    const fs::path source = releaseFolder / entry.path;
    const bool remote = isHttpUrl(patchSource);
    if (remote) {
        const ProgressCallback progress = [](float fraction) {
            SetStatus(Checking, "Updating the launcher", "Downloading", 0.3f + 0.3f * fraction);
        };
        if (!downloadPatchFile(patchSource, entry.path, source, exactly(entry.size), progress, nullptr)) return false;
    }

    // Streamed: the file is whatever the source sent, of any size.
    std::string digest;
    if (!hashFile(source, digest) || digest != entry.sha256) return false;

    if (!swapLauncherFile(source, target, withSuffix(target, L".new"), withSuffix(target, L".old"))) return false;

    // The download is ours to remove; a release folder's own copy is not:
    // other installations may still take their launcher from it.
    if (remote) {
        std::error_code ec;
        fs::remove(source, ec);
    }

    // The new launcher takes the folder's guard while this one still runs.
    releaseInstanceGuard();
    const HINSTANCE started =
        ShellExecuteW(nullptr, L"open", target.c_str(), nullptr, launcherDir.c_str(), SW_SHOWNORMAL);
    if (reinterpret_cast<INT_PTR>(started) <= 32) {
        retakeInstanceGuard();
        return false;
    }
    if (HWND window = mainWindow) PostMessageW(window, WM_CLOSE, 0, 0);
    return true;
}
