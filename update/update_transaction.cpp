#include "update/update_transaction.h"

#include "base/fail.h"
#include "base/handles.h"
#include "base/install_files.h"
#include "base/safe_remove.h"
#include "base/utf8_paths.h"
#include "base/windows_error.h"
#include "update/file_replacement.h"
#include "update/parallel_hash.h"
#include "update/release_floor.h"
#include "update/update_journal.h"
#include "update/update_space.h"
#include "update/windows_names.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Removes a folder the transaction owns, with everything in it, never
// through a link; errors are ignored (a later step reports what matters).
void clearFolder(const fs::path& folder) { (void)removeTree(folder); }

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

// Volumes that keep times in steps of 10 ms or more (FAT, exFAT, some shares)
// can let a file be rewritten without its time moving.
bool hasFineTime(const FileIdentity& identity) { return identity.lastWriteTime % 100'000 != 0; }

// A staged file holds the bytes hashed on arrival when it is that very file
// still (moved, not copied), or a copy of the same size of a source that kept
// its identity all through the copy.
bool stagedAsArrived(const fs::path& source, const fs::path& staged, const FileIdentity& arrival, PlacedFile& file) {
    FileIdentity copy;
    if (!readFileIdentity(staged, copy) || copy.size != arrival.size) return false;
    FileIdentity after;
    if (copy != arrival && !(readFileIdentity(source, after) && after == arrival)) return false;
    file.verified = copy;
    return true;
}

// Copies every file of the plan into staging and checks its digest. Copies
// go on while earlier ones are hashed, and the first file in the plan's
// order that fails decides the message, as if they went one at a time.
template <typename Report>
bool stageAndVerify(const fs::path& sourceDir, const fs::path& stagingDir, const UpdatePlan& plan,
                    const ArrivedFiles* arrived, const Report& report, std::vector<PlacedFile>& files,
                    std::string* error) {
    const std::size_t fileCount = plan.filesToFetch.size();
    files.assign(fileCount, {});
    ParallelHasher hasher;
    std::vector<std::size_t> hashing;  // plan positions, in the order handed to the hasher
    std::size_t verified = 0;
    auto verifyNext = [&] {
        const std::size_t k = hashing[verified++];
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
        const fs::path source = sourceDir / entry.path;
        const FileIdentity* arrival =
            arrived != nullptr && k < arrived->size() && (*arrived)[k] ? &*(*arrived)[k] : nullptr;
        FileIdentity current;
        const bool kept = arrival != nullptr && arrival->size == entry.size && hasFineTime(*arrival) &&
                          readFileIdentity(source, current) && current == *arrival;
        std::string copyError;
        if (!copyFileCreatingFolders(source, staged, &copyError)) {
            discardPartialFile(staged);
            while (verified < hashing.size()) {
                if (!verifyNext()) return false;
            }
            return fail(error, std::move(copyError));
        }
        if (kept && stagedAsArrived(source, staged, *arrival, files[k])) continue;
        hasher.add(staged);
        hashing.push_back(k);
        // Hashing keeps close behind the copies, which are then still cached.
        while (hasher.pending() > hashThreadCount()) {
            if (!verifyNext()) return false;
        }
    }
    while (verified < hashing.size()) {
        if (!verifyNext()) return false;
    }
    return true;
}

// Makes the empty staging folder of this release below ".patch_staging".
bool prepareStaging(const fs::path& installDir, const ReleaseManifest& manifest, fs::path& stagingDir,
                    std::string* error) {
    const std::wstring releaseFolder = utf8ToWide(manifest.releaseId);
    if (!isPlainFolderName(releaseFolder)) {
        return fail(error, "Could not create patch staging folder: The release id is not a valid folder name.");
    }
    stagingDir = installDir / kStagingFolderName / releaseFolder;
    std::string linkError;
    // A link that stays in the way would take the staged files out of the folder.
    if (!removeLinksOnPath(installDir, stagingDir, &linkError))
        return fail(error, "Could not create patch staging folder: " + linkError);
    clearFolder(stagingDir);
    if (!holdsNoLink(stagingDir, &linkError)) return fail(error, "Could not create patch staging folder: " + linkError);
    std::error_code ec;
    fs::create_directories(stagingDir, ec);
    if (ec) return fail(error, "Could not create patch staging folder: " + errorCodeMessage(ec));
    return true;
}

// A disk that fills up half-way leaves the undo without room as well.
bool enoughSpace(const fs::path& installDir, const fs::path& sourceDir, const UpdatePlan& plan, std::string* error) {
    ULARGE_INTEGER available{};
    return !GetDiskFreeSpaceExW(installDir.c_str(), &available, nullptr, nullptr) ||
           checkDiskSpace(installDir, updateSpaceNeeded(installDir, sourceDir, plan), available.QuadPart, error);
}

// Empties the rollback folder and backs up the installed manifest into it.
bool prepareRollback(const fs::path& installDir, const fs::path& rollbackDir, std::string* error) {
    std::string linkError;
    if (!removeLinksOnPath(installDir, rollbackDir, &linkError))
        return fail(error, "Could not create rollback folder: " + linkError);
    clearFolder(rollbackDir);
    if (!holdsNoLink(rollbackDir, &linkError)) return fail(error, "Could not create rollback folder: " + linkError);
    std::error_code ec;
    fs::create_directories(rollbackDir, ec);
    if (ec) return fail(error, "Could not create rollback folder: " + errorCodeMessage(ec));

    const fs::path installedManifest = installDir / kReleaseListName;
    if (fs::is_regular_file(fs::status(installedManifest, ec))) {
        const fs::path backup = rollbackDir / kReleaseListName;
        if (!copyFileCreatingFolders(installedManifest, backup, error)) {
            discardPartialFile(backup);
            return false;
        }
    }
    return true;
}

// Whether a path was backed up by this update decides its undo, not a copy
// that an earlier update left in the rollback folder: the journal starts
// empty, knowing the release's paths and the plan's obsolete ones.
void openJournal(Journal& journal, const fs::path& installDir, const fs::path& rollbackDir,
                 const ReleaseManifest& manifest, const UpdatePlan& plan) {
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
}

// Puts back everything this update touched and fails, naming a file the
// undo could not restore.
bool undoAndFail(const Journal& journal, std::string* error) {
    const std::string unrestored = undo(journal);
    forgetTouchedFiles(journal);
    if (!unrestored.empty() && error) *error += " The update could not be undone for " + unrestored + "; press REPAIR.";
    return false;
}

// Puts every staged file in place, each backed up first when it existed.
template <typename Report>
bool placeFiles(Journal& journal, const fs::path& stagingDir, const UpdatePlan& plan, const Report& report,
                std::vector<PlacedFile>& placedFiles, std::string* error) {
    const std::size_t fileCount = plan.filesToFetch.size();
    std::size_t steps = fileCount;
    for (std::size_t k = 0; k < fileCount; ++k) {
        const ManifestFile& entry = plan.filesToFetch[k];
        if (!clearWayFor(journal, entry.path, error)) return false;
        const fs::path live = journal.installDir / entry.path;
        const bool existed = entryKind(live) != EntryKind::Missing;
        if (existed && !backUp(journal, entry.path, error)) return false;
        placedFiles[k].copiedAt = currentFileTime();
        if (!replaceFile(stagingDir / entry.path, live, error, &placedFiles[k].placed)) return false;
        journal.touched.push_back({entry.path, existed ? Change::Replaced : Change::Added});
        ++steps;
        report(steps, "Applying " + genericPathUtf8(entry.path));
    }
    return true;
}

// Removes the plan's obsolete files that are still there.
bool removeObsoleteFiles(Journal& journal, const UpdatePlan& plan, std::string* error) {
    for (std::size_t i = 0; i < plan.obsoletePaths.size(); ++i) {
        const fs::path& path = plan.obsoletePaths[i];
        if (journal.removedEarly[i] || !isSafeRelativePath(path) || journal.releaseNames.contains(path)) continue;
        // A folder where the old release had a file is not that file.
        const EntryKind kind = entryKind(journal.installDir / path);
        if (kind == EntryKind::Missing || kind == EntryKind::Folder) continue;
        if (!removeObsoleteFile(journal, path, error)) return false;
    }
    return true;
}

}  // namespace

bool applyUpdate(const fs::path& installDir, const fs::path& sourceDir, const ReleaseManifest& manifest,
                 const UpdatePlan& plan, const InstallProgressCallback& progress, std::string* error,
                 const std::vector<std::uint8_t>* acceptedList, const ArrivedFiles* arrived) {
    const std::size_t fileCount = plan.filesToFetch.size();
    const std::size_t stepsTotal = fileCount + std::max<std::size_t>(fileCount + plan.obsoletePaths.size(), 1);
    auto report = [&](std::size_t steps, const std::string& detail) {
        if (progress) progress(static_cast<float>(steps) / static_cast<float>(stepsTotal), detail);
    };

    fs::path stagingDir;
    if (!prepareStaging(installDir, manifest, stagingDir, error)) return false;
    if (!enoughSpace(installDir, sourceDir, plan, error)) return false;

    // Nothing live changes until every file is staged and verified.
    std::vector<PlacedFile> placedFiles;
    if (!stageAndVerify(sourceDir, stagingDir, plan, arrived, report, placedFiles, error)) return false;
    const fs::path rollbackDir = installDir / kRollbackFolderName;
    if (!prepareRollback(installDir, rollbackDir, error)) return false;

    // From the first change on, a failure puts back everything this update
    // touched: a mix of two releases may not start at all.
    Journal journal;
    openJournal(journal, installDir, rollbackDir, manifest, plan);
    if (!placeFiles(journal, stagingDir, plan, report, placedFiles, error)) return undoAndFail(journal, error);
    if (!removeObsoleteFiles(journal, plan, error)) return undoAndFail(journal, error);

    // replaceFile leaves its target as it was when it fails, so the installed
    // manifest still names the release the undo restores.
    const fs::path installedManifest = installDir / kReleaseListName;
    const bool listReplaced = acceptedList != nullptr
                                  ? replaceFileWithBytes(*acceptedList, installedManifest, error)
                                  : replaceFile(sourceDir / kReleaseListName, installedManifest, error);
    if (!listReplaced) return undoAndFail(journal, error);
    // Best effort: the installed list names the sequence too.
    (void)raiseReleaseFloor(installDir, manifest);

    recordAppliedFiles(journal, plan, placedFiles);
    clearFolder(stagingDir);
    report(stepsTotal, "Update complete");
    if (error) error->clear();
    return true;
}
