#pragma once
// The release manifest "update_manifest.json": parsed form, path safety rule
// and the loader (a small lenient reader of its own, not a JSON library).

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

struct ManifestFile {
    std::filesystem::path path;  // relative to the install folder; always safe
    std::uint64_t size = 0;
    std::string sha256;  // 64 characters
};

struct ReleaseManifest {
    std::int32_t schemaVersion = 0;
    std::int32_t minimumLauncherVersion = 0;
    // Orders releases of one patch source: 0 when the manifest has none,
    // otherwise 1 or more. A lower one than the installed release's is refused.
    std::int32_t releaseSequence = 0;
    std::string releaseId;
    std::vector<ManifestFile> files;  // sorted by generic path bytes, no duplicates
};

// Loads and validates a manifest. On failure `out` is untouched and `error`
// receives one of the three loader messages.
[[nodiscard]] bool loadReleaseManifest(const std::filesystem::path& manifestPath, ReleaseManifest& out,
                                       std::string* error = nullptr);

// The same from the manifest's bytes already in memory; `displayPath` is the
// path the messages name.
[[nodiscard]] bool parseReleaseManifest(std::string_view text, const std::filesystem::path& displayPath,
                                        ReleaseManifest& out, std::string* error = nullptr);

// The one rule for paths taken from a manifest: relative, no root, no drive,
// no "..", "." or empty element, no ":" or NUL in an element, no element
// that Windows maps to a device or whose last character it drops ("." or " "),
// none in the form of an 8.3 short name ("GAMEDA~1.PAK").
bool isSafeRelativePath(const std::filesystem::path& path);

// True when both name the same relative path: "/" and "\" alike, separator
// runs collapsed, elements compared exactly.
bool samePathElements(const std::filesystem::path& a, const std::filesystem::path& b);
