#include "update/update_journal.h"

#include "base/fail.h"
#include "base/utf8_paths.h"
#include "base/windows_error.h"
#include "update/file_replacement.h"
#include "update/install_index.h"
#include "update/windows_names.h"

#include <windows.h>

#include <iterator>

namespace fs = std::filesystem;

namespace {

// A path for a message, with the separators Windows shows.
std::string displayPath(fs::path path) { return pathToUtf8(path.make_preferred()); }

// Only obsolete files of the older release may be moved out of a new file's
// way, never a file of the new one. Marks the path as removed early.
bool takeObsolete(Journal& journal, const fs::path& relative) {
    const std::size_t index = journal.obsoleteNames.find(relative);
    if (index == CaselessPaths::npos || journal.releaseNames.contains(relative)) return false;
    journal.removedEarly[index] = true;
    return true;
}

}  // namespace

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
