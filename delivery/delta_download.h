#pragma once
// Rebuilding a release file from the installed copy of its path: the
// published chunk index ("chunks/<sha256>") names the new file's chunks, the
// installed copy is chunked the same way, every chunk found there is copied
// (the bytes copied are the bytes hashed), the rest comes with Range
// requests, and the result counts only once its whole SHA-256 matches the
// release's. The index needs no signature: a wrong one only wastes bytes.
// Anything that keeps this from working ends in a plain false, and the caller
// downloads the file whole as before.

#include "base/progress.h"
#include "delivery/chunk_index.h"
#include "delivery/download_client.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Smaller files are downloaded whole: an index and a chunking pass would not pay.
inline constexpr std::uint64_t kDeltaMinimumBytes = 1024 * 1024;
// Missing chunks this close to each other are fetched in one range: a
// request costs more than the present bytes between them.
inline constexpr std::uint64_t kDeltaRangeGap = 32 * 1024;

// "chunks/<sha256>"
std::filesystem::path chunkIndexPath(const std::string& sha256);

struct ByteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;  // inclusive
};

// What rebuilding one file takes.
struct DeltaPlan {
    std::vector<ChunkEntry> chunks;  // the release file's, from its index
    std::uint64_t indexBytes = 0;
    std::vector<ByteRange> ranges;  // to fetch, merged
    std::uint64_t reusedBytes = 0;  // copied from the installed copy (outside the ranges)
    std::uint64_t fetchBytes = 0;   // in the ranges
};

// Where a release file stands while it is rebuilt: bytes copied plus bytes
// fetched. Goes back to 0 when rebuilding is given up.
using DeltaPositionCallback = DownloadPositionCallback;

// Fetches and checks the file's chunk index, chunks `installed` and says
// what would be copied and fetched; nothing is written. False (with the
// reason) when there is no usable index or installed copy.
[[nodiscard]] bool planDelta(PatchDownloader& downloader, std::uint64_t size, const std::string& sha256,
                             const std::filesystem::path& installed, DeltaPlan& plan, std::string* why = nullptr);

// Rebuilds `relativePath` (`size` bytes, digest `sha256`) into
// "<destination>.download" and moves it to `destination` once its digest
// matches. False (with the reason) when the caller must download the file
// whole; no file of this attempt is left then.
[[nodiscard]] bool deltaDownload(PatchDownloader& downloader, const std::filesystem::path& relativePath,
                                 std::uint64_t size, const std::string& sha256, const std::filesystem::path& installed,
                                 const std::filesystem::path& destination, const DeltaPositionCallback& position = {},
                                 DeltaPlan* done = nullptr, std::string* why = nullptr);
