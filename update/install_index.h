#pragma once
// ".patch_index" in the launcher folder: the digest of each installed file
// with the identity its content had when it was read (update/file_identity.h).
// A start trusts an entry only while the file still has that identity, and
// only for the digest recorded; REPAIR reads everything again. The record
// only saves reading: a missing, damaged or foreign one is no error, every
// file is then read as without it.
//
// Text, UTF-8, one line each, "\n" ends every line:
//   tinderhallow-patch-index 1
//   folder <volume serial, 8 hex> <folder index, 16 hex>
//   <sha256> <size> <last-write time> <file index, 16 hex> <path, "/" separators>   (one per file)
//   end <number of file lines> <sha256 of every byte before this line>
// Numbers are decimal unless said otherwise; hex is lower case.

#include "base/install_files.h"
#include "update/file_identity.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <unordered_map>

// A record larger than this is not read: it would describe over a million
// files, beyond any release the launcher accepts.
inline constexpr std::uint64_t kMaxInstallIndexBytes = 128ull * 1024 * 1024;

// Timestamps of some volumes (FAT, some shares) are this coarse: a file
// written less than this long before it was looked at could be written again
// without its time changing, so it is not recorded yet.
inline constexpr std::uint64_t kSettledTicks = 2ull * 10'000'000;

struct IndexedFile {
    std::string sha256;
    FileIdentity identity;
    bool operator==(const IndexedFile&) const = default;
};

struct InstallIndex {
    std::unordered_map<std::string, IndexedFile> files;  // by path, "/" separators, UTF-8
};

// The record's key for a manifest path.
std::string installIndexKey(const std::filesystem::path& path);

// Reads the record of `installDir`. False, with `index` empty, when there is
// none or it is damaged, truncated, too large, of another version or made for
// another folder.
[[nodiscard]] bool loadInstallIndex(const std::filesystem::path& installDir, InstallIndex& index);

// Writes the record through a temporary file renamed over the old one
// (replace, write-through): a reader sees the old record or the new one.
// On failure the temporary file is gone and the old record stays.
[[nodiscard]] bool saveInstallIndex(const std::filesystem::path& installDir, const InstallIndex& index,
                                    std::string* error = nullptr);

// The entry for `key` while the file still has the recorded identity; null
// otherwise.
const IndexedFile* unchangedEntry(const InstallIndex& index, const std::string& key, const FileIdentity& current);

// Records that the file at `key` with `identity`, looked at from `seenAt` on,
// holds `sha256`. A file written too shortly before `seenAt` (or after it),
// one without a file number and a path the format cannot hold are not recorded, and any earlier entry
// for the path goes. True when the entry was recorded.
bool recordFile(InstallIndex& index, const std::string& key, const std::string& sha256, const FileIdentity& identity,
                std::uint64_t seenAt);
