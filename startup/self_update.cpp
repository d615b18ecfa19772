#include "startup/self_update.h"

#include "base/product.h"
#include "base/utf8_paths.h"
#include "delivery/download_client.h"
#include "startup/instance_guard.h"
#include "startup/launcher_file.h"
#include "ui/launcher_state.h"
#include "update/file_hash.h"

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

}  // namespace

bool selfUpdateLauncher(const std::string& patchSource, const fs::path& releaseFolder, const ManifestFile& entry) {
    const fs::path launcherDir = currentLauncherDir();
    const fs::path target = launcherDir / pathFromUtf8(kLauncherExeName);
    if (!runsAsInstalledLauncher(target)) return false;

    setStatus(LauncherPhase::Checking, "Updating the launcher", "A newer launcher is available", 0.3f);
    const fs::path source = releaseFolder / entry.path;
    const bool remote = isHttpUrl(patchSource);
    if (remote) {
        const ProgressCallback progress = [](float fraction) {
            setStatus(LauncherPhase::Checking, "Updating the launcher", "Downloading", 0.3f + 0.3f * fraction);
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
    requestWindowClose();
    return true;
}
