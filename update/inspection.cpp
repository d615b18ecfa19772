#include "update/inspection.h"

#include "update/install_index.h"
#include "update/parallel_hash.h"

#include <string_view>
#include <unordered_map>

namespace fs = std::filesystem;

namespace {

// A regular file of the listed size is worth reading; nothing else is.
bool hasListedSize(const fs::path& localPath, const ManifestFile& entry) {
    std::error_code ec;
    if (!fs::is_regular_file(fs::status(localPath, ec))) return false;
    const std::uintmax_t size = fs::file_size(localPath, ec);
    return !ec && size == entry.size;
}

// Listings of the folders looked at so far, by folder.
using FolderListings = std::unordered_map<fs::path::string_type, std::unordered_map<std::wstring, FileIdentity>>;

// The identity of the file at `path`, from its folder's listing: listing a
// folder costs about what opening one file costs. A name the listing does not
// hold as written (another case, a link) is opened instead.
bool listedIdentity(FolderListings& listings, const fs::path& path, FileIdentity& identity) {
    const fs::path folder = path.parent_path();
    auto listing = listings.find(folder.native());
    if (listing == listings.end()) {
        listing = listings.emplace(folder.native(), std::unordered_map<std::wstring, FileIdentity>{}).first;
        (void)listFileIdentities(folder, listing->second);
    }
    const auto found = listing->second.find(path.filename().native());
    if (found == listing->second.end()) return readFileIdentity(path, identity);
    identity = found->second;
    return true;
}

// Fills `installed` by manifest position. With a record, a file whose
// identity is still the recorded one counts as its recorded digest without
// being read; on return the record holds what is now known of the manifest's
// files. True when that differs from what it held before. A hashing thread
// that failed leaves `failure` set and the outcome worthless.
bool inspectFiles(const fs::path& installDir, const ReleaseManifest& manifest, InstallIndex* record,
                  std::vector<bool>& installed, bool& failure) {
    installed.assign(manifest.files.size(), false);
    InstallIndex known;
    const bool trusting = record != nullptr && !record->files.empty();
    bool changed = false;
    FolderListings listings;
    ParallelHasher hasher;
    std::vector<std::size_t> hashing;  // manifest positions, in the order handed to the hasher
    for (std::size_t i = 0; i < manifest.files.size(); ++i) {
        const ManifestFile& entry = manifest.files[i];
        const fs::path localPath = installDir / entry.path;
        if (trusting) {
            FileIdentity current;
            if (!listedIdentity(listings, localPath, current) || current.size != entry.size) continue;
            const std::string key = installIndexKey(entry.path);
            if (const IndexedFile* recorded = unchangedEntry(*record, key, current)) {
                installed[i] = recorded->sha256 == entry.sha256;
                known.files.insert(record->files.extract(key));
                continue;
            }
        } else if (!hasListedSize(localPath, entry)) {
            continue;
        }
        hasher.add(localPath);
        hashing.push_back(i);
    }
    for (const std::size_t i : hashing) {
        const ManifestFile& entry = manifest.files[i];
        const HashedFile file = hasher.next();
        installed[i] = file.hashed && file.digest == entry.sha256;
        if (record != nullptr && file.hashed && file.identity && file.identity->size == entry.size)
            changed |= recordFile(known, installIndexKey(entry.path), file.digest, *file.identity, file.seenAt);
    }
    failure = hasher.failed();
    if (record != nullptr) {
        // Entries left behind were not confirmed: changed or gone files, or
        // paths the manifest does not list.
        changed |= !record->files.empty();
        *record = std::move(known);
    }
    return changed;
}

// The last non-empty element, "/" and "\" both separators. Paths that are
// equal element by element share it, so it narrows the search for equal paths
// without deciding equality itself.
std::wstring_view lastElement(const std::wstring& text) {
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == L'/' || text[end - 1] == L'\\')) --end;
    std::size_t begin = end;
    while (begin > 0 && text[begin - 1] != L'/' && text[begin - 1] != L'\\') --begin;
    return std::wstring_view(text).substr(begin, end - begin);
}

}  // namespace

namespace {

void planFrom(const ReleaseManifest& manifest, const ReleaseManifest* olderManifest, const std::vector<bool>& installed,
              UpdatePlan& plan) {
    UpdatePlan result;
    for (std::size_t i = 0; i < manifest.files.size(); ++i) {
        if (installed[i]) continue;
        result.filesToFetch.push_back(manifest.files[i]);
        result.bytesToFetch += manifest.files[i].size;
    }

    if (olderManifest != nullptr) {
        // A release may list tens of thousands of files: look up candidates by
        // their last element instead of scanning the whole new list per path.
        std::unordered_multimap<std::wstring_view, const ManifestFile*> byName;
        byName.reserve(manifest.files.size());
        for (const ManifestFile& entry : manifest.files) byName.emplace(lastElement(entry.path.native()), &entry);

        for (const ManifestFile& older : olderManifest->files) {
            if (!isSafeRelativePath(older.path)) continue;
            bool kept = false;
            auto [first, last] = byName.equal_range(lastElement(older.path.native()));
            for (auto it = first; it != last && !kept; ++it) kept = samePathElements(it->second->path, older.path);
            if (!kept) result.obsoletePaths.push_back(older.path);
        }
    }
    plan = std::move(result);
}

}  // namespace

bool inspectInstallation(const fs::path& installDir, const ReleaseManifest& manifest,
                         const ReleaseManifest* olderManifest, UpdatePlan& plan, std::string* error) {
    std::vector<bool> installed;
    bool failure = false;
    (void)inspectFiles(installDir, manifest, nullptr, installed, failure);
    if (failure) {
        if (error) *error = kHashThreadFailedMessage;
        return false;
    }
    planFrom(manifest, olderManifest, installed, plan);
    if (error) error->clear();
    return true;
}

bool inspectRecordedInstallation(const fs::path& installDir, const ReleaseManifest& manifest,
                                 const ReleaseManifest* olderManifest, UpdatePlan& plan, InstallRecordUse use,
                                 std::string* error) {
    InstallIndex record;
    const bool loaded = use == InstallRecordUse::Trust && loadInstallIndex(installDir, record);
    std::vector<bool> installed;
    bool failure = false;
    const bool changed = inspectFiles(installDir, manifest, &record, installed, failure);
    if (failure) {
        if (error) *error = kHashThreadFailedMessage;
        return false;
    }
    // A record that cannot be written costs only reading the files next time.
    if (changed || !loaded) (void)saveInstallIndex(installDir, record);
    planFrom(manifest, olderManifest, installed, plan);
    if (error) error->clear();
    return true;
}
