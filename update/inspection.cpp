#include "update/inspection.h"

#include "update/file_hash.h"

#include <string_view>
#include <unordered_map>

namespace {

bool isInstalled(const std::filesystem::path& localPath, const ManifestFile& entry) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::status(localPath, ec))) return false;
    const std::uintmax_t size = std::filesystem::file_size(localPath, ec);
    if (ec || size != entry.size) return false;
    std::string digest;
    if (!hashFile(localPath, digest)) return false;
    return digest == entry.sha256;
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

bool inspectInstallation(const std::filesystem::path& installDir, const ReleaseManifest& manifest,
                         const ReleaseManifest* olderManifest, UpdatePlan& plan, std::string* error) {
    UpdatePlan result;
    for (const ManifestFile& entry : manifest.files) {
        if (isInstalled(installDir / entry.path, entry)) continue;
        result.filesToFetch.push_back(entry);
        result.bytesToFetch += entry.size;
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
    if (error) error->clear();
    return true;
}
