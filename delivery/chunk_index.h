#pragma once
// Content-defined chunks of a release file and their published index.
//
// A file is cut where a rolling gear hash over the last 64 bytes has its top
// bits clear (FastCDC with normalised chunking): no chunk shorter than 16 KiB
// (but the last), none longer than 256 KiB, about 64 KiB on average. An
// insertion or deletion therefore moves only the cuts next to it. The gear
// table is the first 8 bytes (big-endian) of SHA-256("Tinderhallow chunk gear
// <n>") for n = 0..255, so the publishing script computes the same cuts.
//
// The index ("chunks/<file sha256>") is little-endian binary: the 8 bytes
// "THCHUNKS", the format version (u32, 1), the chunk count (u32), the file
// size (u64), then per chunk its offset (u64), length (u32) and the first 16
// bytes of its SHA-256: 24 + 28 * count bytes in all.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

inline constexpr std::size_t kChunkMinimum = 16 * 1024;
inline constexpr std::size_t kChunkNormal = 48 * 1024;  // cuts get likelier from here on
inline constexpr std::size_t kChunkMaximum = 256 * 1024;

inline constexpr std::size_t kChunkIndexHeaderBytes = 24;
inline constexpr std::size_t kChunkIndexEntryBytes = 28;
inline constexpr std::uint32_t kChunkIndexVersion = 1;

struct ChunkEntry {
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
    std::uint8_t hash[16] = {};  // first 16 bytes of the chunk's SHA-256
};

// The length of the chunk starting at data[0], `available` bytes of the file
// being on hand from there (all of the rest, or at least kChunkMaximum).
std::size_t chunkLength(const std::uint8_t* data, std::size_t available);

// Called for every chunk in file order with its bytes; returning false stops
// the walk (chunkFile then fails with an empty error).
using ChunkVisitor = std::function<bool(const ChunkEntry& chunk, const std::uint8_t* bytes)>;

// Chunks and hashes a whole file in one sequential read.
[[nodiscard]] bool chunkFile(const std::filesystem::path& path, const ChunkVisitor& visit,
                             std::string* error = nullptr);

// The chunks of bytes in memory.
std::vector<ChunkEntry> chunkBytes(const std::uint8_t* data, std::size_t size);

std::vector<std::uint8_t> encodeChunkIndex(std::uint64_t fileSize, const std::vector<ChunkEntry>& chunks);

// The most index bytes a file of `fileSize` can need (every chunk but the
// last at least kChunkMinimum long).
std::uint64_t chunkIndexSizeLimit(std::uint64_t fileSize);

// False unless `bytes` is a version-1 index of a file of exactly `fileSize`
// bytes whose chunks follow each other from offset 0 with lengths of 1 to
// kChunkMaximum bytes.
[[nodiscard]] bool parseChunkIndex(const std::vector<std::uint8_t>& bytes, std::uint64_t fileSize,
                                   std::vector<ChunkEntry>& chunks, std::string* error = nullptr);

// A release file's chunks looked up by content (hash and length). Chunks of
// equal content form one group, handed out whole by the first installed
// chunk that has it: however many identical chunks the release file or the
// installed copy hold, each lookup costs one search and each release chunk is
// handed out once.
struct ChunkLookup {
    std::vector<std::uint32_t> order;       // release chunk positions, by content
    std::vector<std::uint32_t> groupStart;  // into order; one more at the end
    std::vector<bool> handedOut;            // per group
    std::size_t left = 0;                   // groups not yet handed out
    std::uint64_t examined = 0;             // entries of order looked at, all lookups together
};

ChunkLookup makeChunkLookup(const std::vector<ChunkEntry>& chunks);

// The release chunks with `found`'s content not handed out before, as a range
// of `lookup.order` (empty when there are none); they count as handed out.
std::pair<const std::uint32_t*, const std::uint32_t*> takeChunks(ChunkLookup& lookup,
                                                                 const std::vector<ChunkEntry>& chunks,
                                                                 const ChunkEntry& found);

// "<offset> <length> <hash hex>" lines, as the shared test vector lists them.
std::string chunkListText(const std::vector<ChunkEntry>& chunks);
