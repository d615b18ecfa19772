#include "delivery/chunk_index.h"

#include "base/fail.h"
#include "base/handles.h"
#include "base/utf8_paths.h"
#include "update/file_hash.h"
#include "update/sha256.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

namespace {

// Cuts where the top bits of the hash are clear: the top bits depend on the
// last 64 bytes, the low ones only on the last few.
constexpr std::uint64_t kMaskBeforeNormal = 0xFFFFC00000000000ull;  // 18 bits: cuts are rare
constexpr std::uint64_t kMaskAfterNormal = 0xFFFC000000000000ull;   // 14 bits: cuts come soon

constexpr char kMagic[8] = {'T', 'H', 'C', 'H', 'U', 'N', 'K', 'S'};

// Read in large pieces so the chunker and the hash run on data in cache-friendly runs.
constexpr std::size_t kReadBuffer = 8 * 1024 * 1024;

std::array<std::uint64_t, 256> makeGearTable() {
    std::array<std::uint64_t, 256> table{};
    for (std::size_t n = 0; n < table.size(); ++n) {
        const std::string text = "Tinderhallow chunk gear " + std::to_string(n);
        std::uint8_t digest[32];
        sha256Portable(text.data(), text.size(), digest);
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) value = (value << 8) | digest[i];
        table[n] = value;
    }
    return table;
}

const std::array<std::uint64_t, 256>& gearTable() {
    static const std::array<std::uint64_t, 256> table = makeGearTable();
    return table;
}

void putU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
void putU64(std::vector<std::uint8_t>& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
std::uint32_t getU32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24);
}
std::uint64_t getU64(const std::uint8_t* p) { return std::uint64_t(getU32(p)) | (std::uint64_t(getU32(p + 4)) << 32); }

ChunkEntry describeChunk(const std::uint8_t* bytes, std::uint64_t offset, std::size_t length) {
    ChunkEntry chunk;
    chunk.offset = offset;
    chunk.length = static_cast<std::uint32_t>(length);
    Sha256Stream stream;
    sha256Begin(stream);
    sha256Feed(stream, bytes, length);
    std::uint8_t digest[32];
    sha256Finish(stream, digest);
    std::memcpy(chunk.hash, digest, sizeof chunk.hash);
    return chunk;
}

}  // namespace

std::size_t chunkLength(const std::uint8_t* data, std::size_t available) {
    if (available <= kChunkMinimum) return available;
    const std::size_t end = std::min(available, kChunkMaximum);
    const std::size_t normal = std::min(kChunkNormal, end);
    const std::uint64_t* gear = gearTable().data();
    std::uint64_t hash = 0;
    std::size_t i = kChunkMinimum;
    for (; i < normal; ++i) {
        hash = (hash << 1) + gear[data[i]];
        if ((hash & kMaskBeforeNormal) == 0) return i + 1;
    }
    for (; i < end; ++i) {
        hash = (hash << 1) + gear[data[i]];
        if ((hash & kMaskAfterNormal) == 0) return i + 1;
    }
    return end;
}

std::vector<ChunkEntry> chunkBytes(const std::uint8_t* data, std::size_t size) {
    std::vector<ChunkEntry> chunks;
    std::size_t offset = 0;
    while (offset < size) {
        const std::size_t length = chunkLength(data + offset, size - offset);
        chunks.push_back(describeChunk(data + offset, offset, length));
        offset += length;
    }
    return chunks;
}

bool chunkFile(const std::filesystem::path& path, const ChunkVisitor& visit, std::string* error) {
    // Others may go on reading and writing: chunking never blocks the game.
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return fail(error, "Could not open file for chunking: " + pathToUtf8(path));
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kReadBuffer]);
    if (!buffer) return fail(error, "Not enough memory to chunk " + pathToUtf8(path));

    std::size_t begin = 0;
    std::size_t end = 0;
    std::uint64_t offset = 0;
    bool atEnd = false;
    for (;;) {
        if (end - begin < kChunkMaximum && !atEnd) {
            std::memmove(buffer.get(), buffer.get() + begin, end - begin);
            end -= begin;
            begin = 0;
            while (end < kReadBuffer) {
                DWORD got = 0;
                const DWORD wanted = static_cast<DWORD>(kReadBuffer - end);
                if (!ReadFile(file.get(), buffer.get() + end, wanted, &got, nullptr)) {
                    return fail(error, "Failed while chunking file: " + pathToUtf8(path));
                }
                if (got == 0) {
                    atEnd = true;
                    break;
                }
                end += got;
            }
        }
        if (begin == end) return true;
        const std::size_t length = chunkLength(buffer.get() + begin, end - begin);
        const ChunkEntry chunk = describeChunk(buffer.get() + begin, offset, length);
        if (!visit(chunk, buffer.get() + begin)) return fail(error, {});
        begin += length;
        offset += length;
    }
}

std::vector<std::uint8_t> encodeChunkIndex(std::uint64_t fileSize, const std::vector<ChunkEntry>& chunks) {
    std::vector<std::uint8_t> out(kMagic, kMagic + sizeof kMagic);
    out.reserve(kChunkIndexHeaderBytes + kChunkIndexEntryBytes * chunks.size());
    putU32(out, kChunkIndexVersion);
    putU32(out, static_cast<std::uint32_t>(chunks.size()));
    putU64(out, fileSize);
    for (const ChunkEntry& chunk : chunks) {
        putU64(out, chunk.offset);
        putU32(out, chunk.length);
        out.insert(out.end(), chunk.hash, chunk.hash + sizeof chunk.hash);
    }
    return out;
}

std::uint64_t chunkIndexSizeLimit(std::uint64_t fileSize) {
    return kChunkIndexHeaderBytes + kChunkIndexEntryBytes * (fileSize / kChunkMinimum + 1);
}

bool parseChunkIndex(const std::vector<std::uint8_t>& bytes, std::uint64_t fileSize, std::vector<ChunkEntry>& chunks,
                     std::string* error) {
    if (bytes.size() < kChunkIndexHeaderBytes || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        return fail(error, "not a chunk index");
    }
    if (getU32(bytes.data() + 8) != kChunkIndexVersion) return fail(error, "unknown chunk index version");
    const std::uint64_t count = getU32(bytes.data() + 12);
    if (getU64(bytes.data() + 16) != fileSize) return fail(error, "chunk index is for another file size");
    // The count is checked against the size before anything is reserved for it.
    if (bytes.size() != kChunkIndexHeaderBytes + kChunkIndexEntryBytes * count) {
        return fail(error, "chunk index size does not match its chunk count");
    }
    std::vector<ChunkEntry> read;
    read.reserve(static_cast<std::size_t>(count));
    std::uint64_t next = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint8_t* p = bytes.data() + kChunkIndexHeaderBytes + kChunkIndexEntryBytes * i;
        ChunkEntry chunk;
        chunk.offset = getU64(p);
        chunk.length = getU32(p + 8);
        std::memcpy(chunk.hash, p + 12, sizeof chunk.hash);
        if (chunk.offset != next || chunk.length == 0 || chunk.length > kChunkMaximum ||
            chunk.length > fileSize - next) {
            return fail(error, "chunk index does not cover the file in order");
        }
        next += chunk.length;
        read.push_back(chunk);
    }
    if (next != fileSize) return fail(error, "chunk index does not add up to the file size");
    chunks = std::move(read);
    return true;
}

namespace {

// Content order: length, then hash bytes.
int compareContent(const ChunkEntry& a, const ChunkEntry& b) {
    if (a.length != b.length) return a.length < b.length ? -1 : 1;
    return std::memcmp(a.hash, b.hash, sizeof a.hash);
}

}  // namespace

ChunkLookup makeChunkLookup(const std::vector<ChunkEntry>& chunks) {
    ChunkLookup lookup;
    lookup.order.resize(chunks.size());
    for (std::size_t i = 0; i < chunks.size(); ++i) lookup.order[i] = static_cast<std::uint32_t>(i);
    std::sort(lookup.order.begin(), lookup.order.end(), [&](std::uint32_t a, std::uint32_t b) {
        const int order = compareContent(chunks[a], chunks[b]);
        return order != 0 ? order < 0 : a < b;
    });
    for (std::size_t i = 0; i < lookup.order.size(); ++i) {
        if (i == 0 || compareContent(chunks[lookup.order[i - 1]], chunks[lookup.order[i]]) != 0)
            lookup.groupStart.push_back(static_cast<std::uint32_t>(i));
    }
    lookup.left = lookup.groupStart.size();
    lookup.handedOut.assign(lookup.groupStart.size(), false);
    lookup.groupStart.push_back(static_cast<std::uint32_t>(lookup.order.size()));
    return lookup;
}

std::pair<const std::uint32_t*, const std::uint32_t*> takeChunks(ChunkLookup& lookup,
                                                                 const std::vector<ChunkEntry>& chunks,
                                                                 const ChunkEntry& found) {
    const std::uint32_t* none = lookup.order.data();
    const std::size_t groups = lookup.handedOut.size();
    // The first group whose content is not below the found chunk's.
    std::size_t low = 0;
    std::size_t high = groups;
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        ++lookup.examined;
        if (compareContent(chunks[lookup.order[lookup.groupStart[middle]]], found) < 0) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    if (low == groups || lookup.handedOut[low]) return {none, none};
    ++lookup.examined;
    if (compareContent(chunks[lookup.order[lookup.groupStart[low]]], found) != 0) return {none, none};
    lookup.handedOut[low] = true;
    --lookup.left;
    const std::uint32_t* first = lookup.order.data() + lookup.groupStart[low];
    const std::uint32_t* last = lookup.order.data() + lookup.groupStart[low + 1];
    lookup.examined += static_cast<std::uint64_t>(last - first);
    return {first, last};
}

std::string chunkListText(const std::vector<ChunkEntry>& chunks) {
    std::string text;
    for (const ChunkEntry& chunk : chunks) {
        text += std::to_string(chunk.offset) + " " + std::to_string(chunk.length) + " " +
                digestToHex(chunk.hash, sizeof chunk.hash) + "\n";
    }
    return text;
}
