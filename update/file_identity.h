#pragma once
// What tells a file's current content apart without reading it: its size, its
// last-write time and its number on the volume. Writing into a file moves its
// time; a file put in place by a rename is another file with another number.

#include "base/handles.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

struct FileIdentity {
    std::uint64_t size = 0;
    std::uint64_t lastWriteTime = 0;  // FILETIME ticks: 100 ns since 1601, UTC
    std::uint64_t fileIndex = 0;      // the file's number on its volume
    bool operator==(const FileIdentity&) const = default;
};

// By position in a list of files: the identity each downloaded file had when
// its digest was computed on arrival, none where it was not.
using ArrivedFiles = std::vector<std::optional<FileIdentity>>;

// A folder as the file system knows it: a copy of it is another folder, a
// folder moved on its volume stays the same one.
struct FolderIdentity {
    std::uint32_t volumeSerial = 0;
    std::uint64_t folderIndex = 0;
    bool operator==(const FolderIdentity&) const = default;
};

// Of a file opened with at least FILE_READ_ATTRIBUTES. False for a folder or
// when the system cannot tell.
[[nodiscard]] bool readFileIdentity(const FileHandle& file, FileIdentity& identity);

// The same for a path (links followed), opened without locking anybody out.
[[nodiscard]] bool readFileIdentity(const std::filesystem::path& path, FileIdentity& identity);

// The identities of the plain files directly in `folder`, by their names as
// listed, read from its listing a batch of entries per call instead of
// opening each file. Folders and links are left out: a link's listing
// describes the link, not the file it leads to. False when the folder cannot
// be listed to its end.
[[nodiscard]] bool listFileIdentities(const std::filesystem::path& folder,
                                      std::unordered_map<std::wstring, FileIdentity>& files);

// From GetFileInformationByHandle on the folder itself.
[[nodiscard]] bool readFolderIdentity(const std::filesystem::path& folder, FolderIdentity& identity);

// The system time now, in FILETIME ticks.
std::uint64_t currentFileTime();
