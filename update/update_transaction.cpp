#include "update/update_transaction.h"

#include "base/handles.h"
#include "base/utf8_paths.h"
#include "base/windows_error.h"
#include "update/file_hash.h"
#include "update/file_identity.h"
#include "update/install_index.h"
#include "update/parallel_hash.h"
#include "update/release_floor.h"
#include "update/windows_names.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
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
    return !isReservedDeviceName(name);
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

// Manifest paths matched the way Windows matches file names: element by
// element, ignoring case. An obsolete path that names a file of the new
// release is that file under another spelling (Data/x.pak against
// data/x.pak) and must not be removed.
class CaselessPaths {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    CaselessPaths() = default;
    CaselessPaths(const CaselessPaths&) = delete;  // the index holds views into its own texts
    CaselessPaths& operator=(const CaselessPaths&) = delete;
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
    // The position of the first added path that names `path`, or npos.
    std::size_t find(const fs::path& path) const {
        const std::wstring& text = path.native();
        const std::vector<std::wstring_view> elements = pathElements(text);
        if (elements.empty()) return npos;
        std::size_t found = npos;
        auto [first, last] = byLastLength_.equal_range(elements.back().size());
        for (auto it = first; it != last; ++it) {
            if (it->second < found && sameIgnoringCase(entries_[it->second].elements, elements)) found = it->second;
        }
        return found;
    }
    bool contains(const fs::path& path) const { return find(path) != npos; }

private:
    struct Entry {
        std::wstring text;
        std::vector<std::wstring_view> elements;  // views into text
    };
    static bool sameIgnoringCase(const std::vector<std::wstring_view>& a, const std::vector<std::wstring_view>& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (a[i].size() != b[i].size() || !sameNameIgnoringCase(a[i], b[i])) return false;
        }
        return true;
    }
    std::vector<Entry> entries_;  // not resized after index()
    std::unordered_multimap<std::size_t, std::size_t> byLastLength_;
};

// Unreadable is never taken as absence: the next step on the path (a copy,
// a rename) reports the real problem.
enum class EntryKind { Missing, File, Folder, Unreadable };

EntryKind entryKind(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? EntryKind::Missing
                                                                            : EntryKind::Unreadable;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::Folder : EntryKind::File;
}

// A path for a message, with the separators Windows shows.
std::string displayPath(fs::path path) { return pathToUtf8(path.make_preferred()); }

// Removes a partial copy the transaction made itself.
void discardPartialFile(const fs::path& path) { DeleteFileW(path.c_str()); }

// Clears the read-only flag, given the attributes already read (invalid ones
// leave the next step to report the problem).
bool dropReadOnly(const fs::path& path, DWORD attributes) {
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) return true;
    const DWORD writable = attributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
    return SetFileAttributesW(path.c_str(), writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL) != 0;
}

// Puts back the attributes dropReadOnly changed before a step that failed,
// so a failure leaves the file as it was.
void restoreAttributes(const fs::path& path, DWORD attributes) {
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        SetFileAttributesW(path.c_str(), attributes);
}

// Deletes an installed file, read-only or not; a missing file is no error.
bool removeInstalledFile(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return entryKind(path) == EntryKind::Missing;
    if (!dropReadOnly(path, attributes)) return false;
    if (DeleteFileW(path.c_str())) return true;
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;
    restoreAttributes(path, attributes);
    return false;
}

// What this update changed in the installation, in order; the undo walks it
// backwards, so a file put where a folder stood goes before the folder and
// its files come back.
enum class Change { Replaced, Added, Removed, FolderAdded, FolderRemoved };

struct Touched {
    fs::path path;  // relative to the install folder
    Change change;
};

struct Journal {
    fs::path installDir;
    fs::path rollbackDir;
    CaselessPaths releaseNames;      // every path of the new release
    CaselessPaths obsoleteNames;     // the plan's obsolete paths, unsafe ones left empty
    std::vector<bool> removedEarly;  // by obsolete position: moved out of a new file's way
    std::vector<Touched> touched;
};

// Copies an installed file into the rollback folder.
bool backUp(const Journal& journal, const fs::path& relative, std::string* error) {
    const fs::path backup = journal.rollbackDir / relative;
    if (copyFileCreatingFolders(journal.installDir / relative, backup, error)) return true;
    discardPartialFile(backup);
    return false;
}

bool removeObsoleteFile(Journal& journal, const fs::path& relative, std::string* error) {
    if (!backUp(journal, relative, error)) return false;
    if (!removeInstalledFile(journal.installDir / relative))
        return fail(error, "Could not remove obsolete file: " + genericPathUtf8(relative));
    journal.touched.push_back({relative, Change::Removed});
    return true;
}

// Restores what the journal records, newest first. Returns the path of the
// first change that could not be undone (generic form), empty when all were.
std::string undo(const Journal& journal) {
    std::string unrestored;
    for (auto it = journal.touched.rbegin(); it != journal.touched.rend(); ++it) {
        const fs::path live = journal.installDir / it->path;
        std::error_code ec;
        bool restored = true;
        switch (it->change) {
            case Change::Replaced:
            case Change::Removed: restored = replaceFile(journal.rollbackDir / it->path, live); break;
            case Change::Added: restored = removeInstalledFile(live); break;
            case Change::FolderRemoved:
                fs::create_directory(live, ec);
                restored = entryKind(live) == EntryKind::Folder;
                break;
            // A folder that cannot go harms nothing unless a restored file
            // needs its place, and that restore then reports it.
            case Change::FolderAdded: fs::remove(live, ec); break;
        }
        if (!restored && unrestored.empty()) unrestored = genericPathUtf8(it->path);
    }
    return unrestored;
}

// What the record may learn of one file of the plan: the file put in place
// holds the verified bytes only while nothing wrote to the staged copy after
// its check, nor to the copy put in place after it was made.
struct PlacedFile {
    std::optional<FileIdentity> verified;  // of the staged copy, through its check
    std::optional<FileIdentity> placed;    // of the copy put in place (replaceFile)
    std::uint64_t copiedAt = 0;            // the time just before that copy was made
};

// Copies every file of the plan into staging and checks its digest. Copies
// go on while earlier ones are hashed, and the first file in the plan's
// order that fails decides the message, as if they went one at a time.
template <typename Report>
bool stageAndVerify(const fs::path& sourceDir, const fs::path& stagingDir, const UpdatePlan& plan, const Report& report,
                    std::vector<PlacedFile>& files, std::string* error) {
    const std::size_t fileCount = plan.filesToFetch.size();
    files.assign(fileCount, {});
    ParallelHasher hasher;
    std::size_t verified = 0;
    auto verifyNext = [&] {
        const std::size_t k = verified++;
        const ManifestFile& entry = plan.filesToFetch[k];
        const HashedFile staged = hasher.next();
        if (!staged.hashed && !staged.error.empty()) return fail(error, staged.error);
        if (!staged.hashed || staged.digest != entry.sha256)
            return fail(error, "Hash verification failed: " + genericPathUtf8(entry.path));
        files[k].verified = staged.identity;
        return true;
    };
    for (std::size_t k = 0; k < fileCount; ++k) {
        const ManifestFile& entry = plan.filesToFetch[k];
        report(k, "Staging " + genericPathUtf8(entry.path));
        const fs::path staged = stagingDir / entry.path;
        std::string copyError;
        if (!copyFileCreatingFolders(sourceDir / entry.path, staged, &copyError)) {
            discardPartialFile(staged);
            while (verified < k) {
                if (!verifyNext()) return false;
            }
            return fail(error, std::move(copyError));
        }
        hasher.add(staged);
        // Hashing keeps close behind the copies, which are then still cached.
        while (hasher.pending() > hashThreadCount()) {
            if (!verifyNext()) return false;
        }
    }
    while (verified < fileCount) {
        if (!verifyNext()) return false;
    }
    return true;
}

// Each file put in place is a copy of its verified staged copy, and the
// copies keep the staged copy's last-write time: the record learns the
// entry's digest with the placed file's identity, so the next start need not
// read it. Removed files leave the record.
void recordAppliedFiles(const Journal& journal, const UpdatePlan& plan, const std::vector<PlacedFile>& files) {
    InstallIndex record;
    (void)loadInstallIndex(journal.installDir, record);  // a damaged one starts empty
    for (const Touched& touched : journal.touched) {
        if (touched.change == Change::Removed) record.files.erase(installIndexKey(touched.path));
    }
    for (std::size_t k = 0; k < plan.filesToFetch.size(); ++k) {
        const ManifestFile& entry = plan.filesToFetch[k];
        const PlacedFile& file = files[k];
        const std::string key = installIndexKey(entry.path);
        const bool untouched = file.verified && file.placed && file.verified->size == entry.size &&
                               file.placed->size == entry.size &&
                               file.placed->lastWriteTime == file.verified->lastWriteTime;
        if (untouched) (void)recordFile(record, key, entry.sha256, *file.placed, file.copiedAt);
        else record.files.erase(key);
    }
    (void)saveInstallIndex(journal.installDir, record);
}

// After an undo the record may claim nothing about the files touched.
void forgetTouchedFiles(const Journal& journal) {
    InstallIndex record;
    if (!loadInstallIndex(journal.installDir, record)) return;
    bool changed = false;
    for (const Touched& touched : journal.touched) changed |= record.files.erase(installIndexKey(touched.path)) > 0;
    if (changed) (void)saveInstallIndex(journal.installDir, record);
}

// Only obsolete files of the older release may be moved out of a new file's
// way, never a file of the new one. Marks the path as removed early.
bool takeObsolete(Journal& journal, const fs::path& relative) {
    const std::size_t index = journal.obsoleteNames.find(relative);
    if (index == CaselessPaths::npos || journal.releaseNames.contains(relative)) return false;
    journal.removedEarly[index] = true;
    return true;
}

// Makes room for the new file at `relative`: an obsolete file where the path
// needs a folder, or a folder of obsolete files where it needs a file (the
// release turned a folder into a file or the reverse), is backed up and
// removed. Anything else in the way stays and fails the step. Folders the
// new file's copy will create are recorded for the undo.
bool clearWayFor(Journal& journal, const fs::path& relative, std::string* error) {
    fs::path ancestor;
    bool creating = false;
    for (auto element = relative.begin(); element != relative.end(); ++element) {
        if (std::next(element) == relative.end()) break;
        ancestor /= *element;
        if (!creating) {
            const fs::path live = journal.installDir / ancestor;
            const EntryKind kind = entryKind(live);
            if (kind == EntryKind::Folder || kind == EntryKind::Unreadable) continue;
            if (kind == EntryKind::File) {
                if (!takeObsolete(journal, ancestor)) {
                    return fail(error, "Could not create folder " + displayPath(live) +
                                           ": a file that is not part of the game is in its place. Move that file "
                                           "elsewhere and retry.");
                }
                if (!removeObsoleteFile(journal, ancestor, error)) return false;
            }
            creating = true;
        }
        journal.touched.push_back({ancestor, Change::FolderAdded});
    }

    const fs::path target = journal.installDir / relative;
    if (creating || entryKind(target) != EntryKind::Folder) return true;

    std::vector<fs::path> files;
    std::vector<fs::path> folders{relative};
    std::error_code ec;
    for (fs::recursive_directory_iterator it(target, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path below = relative / it->path().lexically_relative(target);
        const fs::file_status status = it->symlink_status(ec);
        if (ec) break;
        if (fs::is_directory(status)) {
            folders.push_back(below);
        } else if (fs::is_regular_file(status) && takeObsolete(journal, below)) {
            files.push_back(below);
        } else {
            return fail(error, "Could not replace " + displayPath(target) + ": the folder in its place holds " +
                                   displayPath(journal.installDir / below) +
                                   ", which is not part of the game. Move that file elsewhere and retry.");
        }
    }
    if (ec) return fail(error, "Could not replace " + displayPath(target) + ": " + errorCodeMessage(ec));

    for (const fs::path& file : files) {
        if (!removeObsoleteFile(journal, file, error)) return false;
    }
    // Listed parents first, so the deepest folders go first.
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
        const fs::path live = journal.installDir / *folder;
        if (!clearReadOnly(live) || !RemoveDirectoryW(live.c_str()))
            return fail(error, "Could not remove obsolete folder: " + genericPathUtf8(*folder));
        journal.touched.push_back({*folder, Change::FolderRemoved});
    }
    return true;
}

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

bool clearReadOnly(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return entryKind(path) == EntryKind::Missing;
    return dropReadOnly(path, attributes);
}

bool copyFileCreatingFolders(const fs::path& source, const fs::path& destination, std::string* error) {
    if (destination.has_parent_path()) {
        std::error_code ec;
        fs::create_directories(destination.parent_path(), ec);
        if (ec) return fail(error, "Could not copy " + pathToUtf8(source) + ": " + errorCodeMessage(ec));
    }
    // The kernel's copy, not a stream loop: it is the bulk of an update's time.
    if (!CopyFileExW(source.c_str(), destination.c_str(), nullptr, nullptr, nullptr, 0)) {
        const DWORD code = GetLastError();
        return fail(error, "Could not copy " + pathToUtf8(source) + ": " + windowsErrorMessage(code));
    }
    // The copy takes the source's attributes. A read-only copy (a release
    // folder on a disc or share) could not be cleared from staging or
    // rollback, nor replaced once installed.
    if (!clearReadOnly(destination)) {
        const DWORD code = GetLastError();
        return fail(error, "Could not copy " + pathToUtf8(source) + ": " + windowsErrorMessage(code));
    }
    if (error) error->clear();
    return true;
}

namespace {

// A replacement's second half: the new content, complete in `temporary`
// beside the target, renamed onto it in one write-through step. `placed`,
// when given, receives the identity of the file put in place, unless it
// changed between the copy and the rename.
bool moveIntoPlace(const fs::path& temporary, const fs::path& target, std::string* error,
                   std::optional<FileIdentity>* placed = nullptr) {
    if (placed) placed->reset();
    FileIdentity copied;
    const bool copiedKnown = placed != nullptr && readFileIdentity(temporary, copied);
    // Windows refuses a rename onto a read-only file (error 5); players and
    // antivirus programs set the flag on game files.
    const DWORD targetAttributes = GetFileAttributesW(target.c_str());
    if (!dropReadOnly(target, targetAttributes) ||
        !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD code = GetLastError();
        discardPartialFile(temporary);
        restoreAttributes(target, targetAttributes);
        return fail(error,
                    withWindowsError("Could not replace " + pathToUtf8(target), code) + " Close the game and retry.");
    }
    FileIdentity now;
    if (copiedKnown && readFileIdentity(target, now) && now == copied) *placed = now;
    if (error) error->clear();
    return true;
}

// replaceFile from bytes in memory.
bool replaceFileWithBytes(const std::vector<std::uint8_t>& bytes, const fs::path& target, std::string* error) {
    fs::path temporary = target;
    temporary += L".patch_new";
    {
        FileHandle file(
            CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size()) {
            const DWORD code = GetLastError();
            const bool created = static_cast<bool>(file);
            file.reset();
            if (created) discardPartialFile(temporary);
            return fail(error, "Could not write " + pathToUtf8(temporary) + ": " + windowsErrorMessage(code));
        }
    }
    return moveIntoPlace(temporary, target, error);
}

}  // namespace

bool replaceFile(const fs::path& source, const fs::path& target, std::string* error,
                 std::optional<FileIdentity>* placed) {
    fs::path temporary = target;
    temporary += L".patch_new";
    if (placed) placed->reset();
    if (!copyFileCreatingFolders(source, temporary, error)) {
        discardPartialFile(temporary);
        return false;
    }
    return moveIntoPlace(temporary, target, error, placed);
}

std::uint64_t updateSpaceNeeded(const fs::path& installDir, const fs::path& sourceDir, const UpdatePlan& plan) {
    // Followed step by step, since the high point is not a plain sum: a
    // replaced file's old copy moves to the rollback folder while a new
    // file adds to the installation, and an obsolete file's backup is freed
    // again by its removal. Staging stays until the end.
    std::int64_t staged = 0;
    for (const ManifestFile& entry : plan.filesToFetch) staged += allocated(entry.size);
    std::int64_t peak = staged;
    // The previous update's rollback copies are cleared once staging is done.
    std::int64_t used = staged - allocatedSizeBelow(installDir / L".patch_rollback");
    used += allocatedSizeOf(installDir / InstalledManifestName);
    for (const ManifestFile& entry : plan.filesToFetch) {
        const std::int64_t previous = allocatedSizeOf(installDir / entry.path);
        used += previous + allocated(entry.size);  // backup, then the temporary copy
        peak = std::max(peak, used);
        used -= previous;  // the rename drops the old file
    }
    for (const fs::path& path : plan.obsoletePaths) {
        if (isSafeRelativePath(path)) peak = std::max(peak, used + allocatedSizeOf(installDir / path));
    }
    used += allocatedSizeOf(sourceDir / InstalledManifestName);
    peak = std::max(peak, used);
    return static_cast<std::uint64_t>(peak);
}

bool checkDiskSpace(const fs::path& installDir, std::uint64_t needed, std::uint64_t available, std::string* error) {
    if (available >= needed) {
        if (error) error->clear();
        return true;
    }
    const std::uint64_t megabytes = (needed - available + 1048575) / 1048576;
    return fail(error, "Not enough disk space: the update needs " + std::to_string(megabytes) + " MB more on " +
                           volumeName(installDir) + ".");
}

bool applyUpdate(const fs::path& installDir, const fs::path& sourceDir, const ReleaseManifest& manifest,
                 const UpdatePlan& plan, const InstallProgressCallback& progress, std::string* error,
                 const std::vector<std::uint8_t>* acceptedList) {
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

    // A disk that fills up half-way leaves the undo without room as well.
    ULARGE_INTEGER available{};
    if (GetDiskFreeSpaceExW(installDir.c_str(), &available, nullptr, nullptr) &&
        !checkDiskSpace(installDir, updateSpaceNeeded(installDir, sourceDir, plan), available.QuadPart, error))
        return false;

    // Nothing live changes until every file is staged and verified.
    std::vector<PlacedFile> placedFiles;
    if (!stageAndVerify(sourceDir, stagingDir, plan, report, placedFiles, error)) return false;

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

    // From the first change on, a failure puts back everything this update
    // touched: a mix of two releases may not start at all. Whether a path
    // was backed up by this update decides its undo, not a copy that an
    // earlier update left in the rollback folder.
    Journal journal;
    journal.installDir = installDir;
    journal.rollbackDir = rollbackDir;
    for (const ManifestFile& entry : manifest.files) journal.releaseNames.add(entry.path);
    for (const ManifestFile& entry : plan.filesToFetch) journal.releaseNames.add(entry.path);
    journal.releaseNames.index();
    for (const fs::path& path : plan.obsoletePaths) {
        // Only paths that stay below the install folder are ever removed.
        journal.obsoleteNames.add(isSafeRelativePath(path) ? path : fs::path());
    }
    journal.obsoleteNames.index();
    journal.removedEarly.assign(plan.obsoletePaths.size(), false);
    auto undoAndFail = [&] {
        const std::string unrestored = undo(journal);
        forgetTouchedFiles(journal);
        if (!unrestored.empty() && error)
            *error += " The update could not be undone for " + unrestored + "; press REPAIR.";
        return false;
    };

    std::size_t steps = fileCount;
    for (std::size_t k = 0; k < fileCount; ++k) {
        const ManifestFile& entry = plan.filesToFetch[k];
        if (!clearWayFor(journal, entry.path, error)) return undoAndFail();
        const fs::path live = installDir / entry.path;
        const bool existed = entryKind(live) != EntryKind::Missing;
        if (existed && !backUp(journal, entry.path, error)) return undoAndFail();
        placedFiles[k].copiedAt = currentFileTime();
        if (!replaceFile(stagingDir / entry.path, live, error, &placedFiles[k].placed)) return undoAndFail();
        journal.touched.push_back({entry.path, existed ? Change::Replaced : Change::Added});
        ++steps;
        report(steps, "Applying " + genericPathUtf8(entry.path));
    }

    for (std::size_t i = 0; i < plan.obsoletePaths.size(); ++i) {
        const fs::path& path = plan.obsoletePaths[i];
        if (journal.removedEarly[i] || !isSafeRelativePath(path) || journal.releaseNames.contains(path)) continue;
        // A folder where the old release had a file is not that file.
        const EntryKind kind = entryKind(installDir / path);
        if (kind == EntryKind::Missing || kind == EntryKind::Folder) continue;
        if (!removeObsoleteFile(journal, path, error)) return undoAndFail();
    }

    // replaceFile leaves its target as it was when it fails, so the installed
    // manifest still names the release the undo restores.
    const bool listReplaced = acceptedList != nullptr
                                  ? replaceFileWithBytes(*acceptedList, installedManifest, error)
                                  : replaceFile(sourceDir / InstalledManifestName, installedManifest, error);
    if (!listReplaced) return undoAndFail();
    // Best effort: the installed list names the sequence too.
    (void)raiseReleaseFloor(installDir, manifest);

    recordAppliedFiles(journal, plan, placedFiles);
    clearFolder(stagingDir);
    report(stepsTotal, "Update complete");
    if (error) error->clear();
    return true;
}
