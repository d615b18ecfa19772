#include "startup/launcher_file.h"

#include "base/product.h"
#include "base/utf8_paths.h"
#include "startup/install_location.h"
#include "update/windows_names.h"

#include <windows.h>

#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The path as Windows names the file: canonical, long elements, "\" only.
std::wstring comparablePath(const fs::path& path, std::error_code& ec) {
    std::wstring text = longPathName(fs::weakly_canonical(path, ec)).native();
    for (wchar_t& c : text) {
        if (c == L'/') c = L'\\';
    }
    return text;
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
