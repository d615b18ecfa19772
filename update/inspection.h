#pragma once
// Compares an installation with a release: what must be fetched, what the
// release no longer contains.

#include "update/manifest.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct UpdatePlan {
    std::vector<ManifestFile> filesToFetch;            // in the manifest's order
    std::vector<std::filesystem::path> obsoletePaths;  // safe paths, in the older manifest's order
    std::uint64_t bytesToFetch = 0;                    // sum of the sizes of filesToFetch
};

// Fills `plan` (replaced as a whole). A file counts as installed only when it
// is a regular file of the listed size whose digest matches; a file of the
// wrong size is never read. Files are read on up to four threads at once. Obsolete paths come only from `olderManifest`
// (none when it is null). Unreadable files are not errors: they are fetched.
// Fails only when a hashing thread failed (kHashThreadFailedMessage), leaving
// `plan` untouched; else clears `error`.
[[nodiscard]] bool inspectInstallation(const std::filesystem::path& installDir, const ReleaseManifest& manifest,
                                       const ReleaseManifest* olderManifest, UpdatePlan& plan,
                                       std::string* error = nullptr);

enum class InstallRecordUse {
    Trust,    // files unchanged since the record read them are not read again
    Rebuild,  // every file is read and the record made anew (REPAIR)
};

// inspectInstallation with the installation's record ".patch_index"
// (update/install_index.h): with Trust, a file whose identity is still the
// recorded one counts as its recorded digest without being read. What was
// read is recorded, and the record is rewritten when it changed (always with
// Rebuild); one that cannot be written costs only reading the files next time.
[[nodiscard]] bool inspectRecordedInstallation(const std::filesystem::path& installDir, const ReleaseManifest& manifest,
                                               const ReleaseManifest* olderManifest, UpdatePlan& plan,
                                               InstallRecordUse use, std::string* error = nullptr);
