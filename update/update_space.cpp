#include "update/update_space.h"

#include "base/diagnostic_log.h"
#include "base/fail.h"
#include "base/install_files.h"
#include "base/utf8_paths.h"
#include "update/manifest.h"

#include <windows.h>

#include <algorithm>
#include <string_view>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Disk space is counted in whole clusters of the usual 4 KiB.
std::int64_t allocated(std::uint64_t size) { return static_cast<std::int64_t>((size + 4095) / 4096 * 4096); }

std::int64_t allocatedSizeOf(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_regular_file(fs::status(path, ec))) return 0;
    const std::uintmax_t size = fs::file_size(path, ec);
    return ec ? 0 : allocated(size);
}

std::int64_t allocatedSizeBelow(const fs::path& folder) {
    std::int64_t total = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code sizeError;
        if (it->is_regular_file(sizeError)) {
            const std::uintmax_t size = it->file_size(sizeError);
            if (!sizeError) total += allocated(size);
        }
    }
    return total;
}

// "C:" for a path on a drive letter, otherwise the volume's root as Windows
// names it.
std::string volumeName(const fs::path& folder) {
    wchar_t root[MAX_PATH + 1] = {};
    std::wstring name = folder.native();
    if (GetVolumePathNameW(folder.c_str(), root, MAX_PATH + 1)) name = root;
    std::wstring_view view = name;
    if (view.rfind(L"\\\\?\\", 0) == 0) view.remove_prefix(4);
    if (view.size() >= 2 && view[1] == L':' && (view.size() == 2 || view.substr(2) == L"\\"))
        return wideToUtf8(view.substr(0, 2));
    return wideToUtf8(name);
}

}  // namespace

std::uint64_t updateSpaceNeeded(const fs::path& installDir, const fs::path& sourceDir, const UpdatePlan& plan) {
    // Followed step by step, since the high point is not a plain sum: a
    // replaced file's old copy moves to the rollback folder while a new
    // file adds to the installation, and an obsolete file's backup is freed
    // again by its removal. Staging stays until the end.
    std::int64_t staged = 0;
    for (const ManifestFile& entry : plan.filesToFetch) staged += allocated(entry.size);
    std::int64_t peak = staged;
    // The previous update's rollback copies are cleared once staging is done.
    std::int64_t used = staged - allocatedSizeBelow(installDir / kRollbackFolderName);
    used += allocatedSizeOf(installDir / kReleaseListName);
    for (const ManifestFile& entry : plan.filesToFetch) {
        const std::int64_t previous = allocatedSizeOf(installDir / entry.path);
        used += previous + allocated(entry.size);  // backup, then the temporary copy
        peak = std::max(peak, used);
        used -= previous;  // the rename drops the old file
    }
    for (const fs::path& path : plan.obsoletePaths) {
        if (isSafeRelativePath(path)) peak = std::max(peak, used + allocatedSizeOf(installDir / path));
    }
    used += allocatedSizeOf(sourceDir / kReleaseListName);
    peak = std::max(peak, used);
    return static_cast<std::uint64_t>(peak);
}

bool checkDiskSpace(const fs::path& installDir, std::uint64_t needed, std::uint64_t available, std::string* error) {
    logEvent(available >= needed ? LogLevel::Info : LogLevel::Warning, "update",
             "Disk space on " + volumeName(installDir) + ": " + std::to_string(needed) + " bytes needed, " +
                 std::to_string(available) + " free.");
    if (available >= needed) {
        if (error) error->clear();
        return true;
    }
    const std::uint64_t megabytes = (needed - available + 1048575) / 1048576;
    return fail(error, "Not enough disk space: the update needs " + std::to_string(megabytes) + " MB more on " +
                           volumeName(installDir) + ".");
}
