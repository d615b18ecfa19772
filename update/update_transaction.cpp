#include "update/update_transaction.h"

#include "update/file_hash.h"
#include "update/utf8_paths.h"

#include <windows.h>

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace fs = std::filesystem;

namespace {

const wchar_t* const InstalledManifestName = L"update_manifest.json";

bool fail(std::string* error, std::string message) {
    if (error) *error = std::move(message);
    return false;
}

std::string trimTrailingSpace(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    return text;
}

// The system's own sentence for a Windows error code (it ends in a period).
std::string windowsMessage(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (length > 0 && buffer != nullptr) text = trimTrailingSpace(wideToUtf8(std::wstring_view(buffer, length)));
    if (buffer != nullptr) LocalFree(buffer);
    if (text.empty()) text = "Windows error " + std::to_string(code) + ".";
    return text;
}

// The file-system library reports some failures as C library errors, whose
// texts lack the closing period of the system's own messages.
std::string errorCodeMessage(const std::error_code& ec) {
    if (ec.category() == std::system_category()) return windowsMessage(static_cast<DWORD>(ec.value()));
    std::string text = trimTrailingSpace(ec.message());
    if (text.empty()) text = "Error " + std::to_string(ec.value());
    if (text.back() != '.') text += '.';
    return text;
}

// Removes a folder the transaction owns, with everything in it; errors are
// ignored (a later step reports what matters).
void clearFolder(const fs::path& folder) {
    std::error_code ec;
    fs::remove_all(folder, ec);
}

// A release id becomes one folder below ".patch_staging", and that folder is
// removed with everything in it: only a single plain name may be used, or
// the removal could reach the install folder itself ("..") or beyond.
bool isPlainFolderName(const std::wstring& name) {
    if (name.empty() || name.size() > 255) return false;
    for (wchar_t c : name) {
        if (c < 0x20 || std::wstring_view(L"<>:\"/\\|?*").find(c) != std::wstring_view::npos) return false;
    }
    // Windows drops trailing dots and spaces ("..." would name the parent).
    if (name.back() == L'.' || name.back() == L' ') return false;
    // Device names open devices, not folders, whatever the extension.
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.pop_back();
    for (wchar_t& c : stem) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    static const wchar_t* const devices[] = {L"CON", L"PRN", L"AUX", L"NUL"};
    for (const wchar_t* device : devices) {
        if (stem == device) return false;
    }
    if (stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0) &&
        stem[3] >= L'0' && stem[3] <= L'9')
        return false;
    return true;
}

std::vector<std::wstring_view> pathElements(const std::wstring& text) {
    std::vector<std::wstring_view> elements;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find_first_of(L"/\\", begin);
        if (end == std::wstring::npos) end = text.size();
        if (end > begin) elements.emplace_back(text.data() + begin, end - begin);
        begin = end + 1;
    }
    return elements;
}

// The paths of the new release, matched the way Windows matches file names:
// element by element, ignoring case. An obsolete path that names one of
// them is the new release's file under another spelling (Data/x.pak against
// data/x.pak) and must not be removed.
class ReleaseNames {
public:
    void add(const fs::path& path) {
        Entry entry{path.native(), {}};
        entries_.push_back(std::move(entry));
    }
    void index() {
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            entries_[i].elements = pathElements(entries_[i].text);
            if (!entries_[i].elements.empty()) byLastLength_.emplace(entries_[i].elements.back().size(), i);
        }
    }
    bool contains(const fs::path& path) const {
        const std::wstring& text = path.native();
        const std::vector<std::wstring_view> elements = pathElements(text);
        if (elements.empty()) return false;
        auto [first, last] = byLastLength_.equal_range(elements.back().size());
        for (auto it = first; it != last; ++it) {
            if (sameIgnoringCase(entries_[it->second].elements, elements)) return true;
        }
        return false;
    }

private:
    struct Entry {
        std::wstring text;
        std::vector<std::wstring_view> elements;  // views into text
    };
    static bool sameIgnoringCase(const std::vector<std::wstring_view>& a, const std::vector<std::wstring_view>& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (a[i].size() != b[i].size()) return false;
            if (CompareStringOrdinal(a[i].data(), static_cast<int>(a[i].size()), b[i].data(),
                                     static_cast<int>(b[i].size()), TRUE) != CSTR_EQUAL)
                return false;
        }
        return true;
    }
    std::vector<Entry> entries_;  // not resized after index()
    std::unordered_multimap<std::size_t, std::size_t> byLastLength_;
};

bool fileExists(const fs::path& path) {
    std::error_code ec;
    // A status that cannot be read for another reason is not taken as
    // absence: the backup copy is attempted and reports the real problem.
    return fs::status(path, ec).type() != fs::file_type::not_found;
}

// Removes a partial copy the transaction made itself.
void discardPartialFile(const fs::path& path) { DeleteFileW(path.c_str()); }

}  // namespace

bool copyFileCreatingFolders(const fs::path& source, const fs::path& destination, std::string* error) {
    if (destination.has_parent_path()) {
        std::error_code ec;
        fs::create_directories(destination.parent_path(), ec);
        if (ec) return fail(error, "Could not copy " + pathToUtf8(source) + ": " + errorCodeMessage(ec));
    }
    // The kernel's copy, not a stream loop: it is the bulk of an update's time.
    if (!CopyFileExW(source.c_str(), destination.c_str(), nullptr, nullptr, nullptr, 0)) {
        const DWORD code = GetLastError();
        return fail(error, "Could not copy " + pathToUtf8(source) + ": " + windowsMessage(code));
    }
    // The copy takes the source's attributes. A read-only copy (a release
    // folder on a disc or share) could not be cleared from staging or
    // rollback, nor replaced once installed.
    const DWORD attributes = GetFileAttributesW(destination.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        const DWORD writable = attributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
        if (!SetFileAttributesW(destination.c_str(), writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL)) {
            const DWORD code = GetLastError();
            return fail(error, "Could not copy " + pathToUtf8(source) + ": " + windowsMessage(code));
        }
    }
    if (error) error->clear();
    return true;
}

bool replaceFile(const fs::path& source, const fs::path& target, std::string* error) {
    fs::path temporary = target;
    temporary += L".patch_new";
    if (!copyFileCreatingFolders(source, temporary, error)) {
        discardPartialFile(temporary);
        return false;
    }
    if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD code = GetLastError();
        discardPartialFile(temporary);
        return fail(error, "Could not replace " + pathToUtf8(target) + " (Windows error " + std::to_string(code) +
                               "). Close the game and retry.");
    }
    if (error) error->clear();
    return true;
}

bool applyUpdate(const fs::path& installDir, const fs::path& sourceDir, const ReleaseManifest& manifest,
                 const UpdatePlan& plan, const InstallProgressCallback& progress, std::string* error) {
    const std::size_t fileCount = plan.filesToFetch.size();
    const std::size_t stepsTotal = fileCount + std::max<std::size_t>(fileCount + plan.obsoletePaths.size(), 1);
    auto report = [&](std::size_t steps, const std::string& detail) {
        if (progress) progress(static_cast<float>(steps) / static_cast<float>(stepsTotal), detail);
    };

    const std::wstring releaseFolder = utf8ToWide(manifest.releaseId);
    if (!isPlainFolderName(releaseFolder)) {
        return fail(error, "Could not create patch staging folder: The release id is not a valid folder name.");
    }
    const fs::path stagingDir = installDir / L".patch_staging" / releaseFolder;
    const fs::path rollbackDir = installDir / L".patch_rollback";

    clearFolder(stagingDir);
    std::error_code ec;
    fs::create_directories(stagingDir, ec);
    if (ec) return fail(error, "Could not create patch staging folder: " + errorCodeMessage(ec));

    // Nothing live changes until every file is staged and verified.
    for (std::size_t k = 0; k < fileCount; ++k) {
        const ManifestFile& entry = plan.filesToFetch[k];
        const std::string shownPath = genericPathUtf8(entry.path);
        report(k, "Staging " + shownPath);
        const fs::path staged = stagingDir / entry.path;
        if (!copyFileCreatingFolders(sourceDir / entry.path, staged, error)) {
            discardPartialFile(staged);
            return false;
        }
        std::string digest;
        std::string hashError;
        if (!hashFile(staged, digest, &hashError) && !hashError.empty()) return fail(error, hashError);
        if (digest != entry.sha256) return fail(error, "Hash verification failed: " + shownPath);
    }

    clearFolder(rollbackDir);
    fs::create_directories(rollbackDir, ec);
    if (ec) return fail(error, "Could not create rollback folder: " + errorCodeMessage(ec));

    const fs::path installedManifest = installDir / InstalledManifestName;
    if (fs::is_regular_file(fs::status(installedManifest, ec))) {
        const fs::path backup = rollbackDir / InstalledManifestName;
        if (!copyFileCreatingFolders(installedManifest, backup, error)) {
            discardPartialFile(backup);
            return false;
        }
    }

    // Whether this update backed a path up decides its undo: a copy left in
    // the rollback folder by an earlier update (one that clearing could not
    // remove) says nothing about this installation.
    struct Touched {
        const fs::path* path;
        bool backedUp;
    };
    std::vector<Touched> touched;
    auto undo = [&] {
        for (const Touched& entry : touched) {
            const fs::path backup = rollbackDir / *entry.path;
            const fs::path live = installDir / *entry.path;
            if (entry.backedUp) {
                (void)replaceFile(backup, live);
            } else {
                std::error_code ignored;
                fs::remove(live, ignored);
            }
        }
    };

    std::size_t steps = fileCount;
    for (const ManifestFile& entry : plan.filesToFetch) {
        const fs::path live = installDir / entry.path;
        const bool existed = fileExists(live);
        if (existed) {
            const fs::path backup = rollbackDir / entry.path;
            if (!copyFileCreatingFolders(live, backup, error)) {
                discardPartialFile(backup);
                return false;
            }
        }
        touched.push_back({&entry.path, existed});
        if (!replaceFile(stagingDir / entry.path, live, error)) {
            undo();
            return false;
        }
        ++steps;
        report(steps, "Applying " + genericPathUtf8(entry.path));
    }

    ReleaseNames releaseNames;
    for (const ManifestFile& entry : manifest.files) releaseNames.add(entry.path);
    for (const ManifestFile& entry : plan.filesToFetch) releaseNames.add(entry.path);
    releaseNames.index();

    for (const fs::path& path : plan.obsoletePaths) {
        // Only paths that stay below the install folder are ever removed.
        if (!isSafeRelativePath(path) || releaseNames.contains(path)) continue;
        const fs::path live = installDir / path;
        if (fileExists(live)) {
            const fs::path backup = rollbackDir / path;
            if (!copyFileCreatingFolders(live, backup, error)) {
                discardPartialFile(backup);
                return false;
            }
        }
        std::error_code removeError;
        fs::remove(live, removeError);
        if (removeError) return fail(error, "Could not remove obsolete file: " + genericPathUtf8(path));
    }

    if (!replaceFile(sourceDir / InstalledManifestName, installedManifest, error)) return false;

    clearFolder(stagingDir);
    report(stepsTotal, "Update complete");
    if (error) error->clear();
    return true;
}
