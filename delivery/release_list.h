#pragma once
// The release list ("update_manifest.json") and its signature as the release
// check reads them: each read once and never past its limit, and a download
// of this run kept under a name of its own until the release is accepted.

#include "base/whole_file.h"  // readBounded
#include "update/manifest.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// Nothing larger is read into memory: a broken or hostile source could
// otherwise exhaust memory with one file.
inline constexpr std::uint64_t kMaxReleaseListBytes = 64ull * 1024 * 1024;
inline constexpr std::uint64_t kMaxSignatureBytes = 16ull * 1024;

std::string_view textOf(const std::vector<std::uint8_t>& bytes);

// The loader's refusal of a file above the limit, a sentence naming it.
std::string releaseListTooLargeForLoader(const std::filesystem::path& path);

// A manifest read once, bounded, and parsed from those bytes; `bytes` keeps them.
[[nodiscard]] bool loadBoundedManifest(const std::filesystem::path& path, ReleaseManifest& manifest,
                                       std::vector<std::uint8_t>& bytes, std::string* error);

// A download of this run under a name of its own, so that another launcher
// or tool on the folder never reads it half-written nor replaces it under
// us. Removed unless kept: only an accepted release takes the cached name.
class RunDownload {
public:
    RunDownload(const std::filesystem::path& folder, const std::wstring& name);
    ~RunDownload();
    RunDownload(const RunDownload&) = delete;
    RunDownload& operator=(const RunDownload&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Moves the file over `destination`; afterwards it is no longer removed.
    [[nodiscard]] bool keepAs(const std::filesystem::path& destination, std::string* error);

private:
    std::filesystem::path path_;
};
