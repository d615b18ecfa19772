#include "delivery/delta_download.h"

#include "base/fail.h"
#include "base/handles.h"
#include "base/safe_remove.h"
#include "delivery/partial_download.h"
#include "update/file_hash.h"
#include "update/sha256.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

namespace {

bool isRegularFile(const std::filesystem::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

bool fetchIndex(PatchDownloader& downloader, std::uint64_t size, const std::string& sha256, DeltaPlan& plan,
                std::string* why) {
    std::vector<std::uint8_t> bytes;
    DWORD status = 0;
    std::string error;
    if (!downloader.fetchSmallFile(chunkIndexPath(sha256), chunkIndexSizeLimit(size), bytes, status, &error)) {
        return fail(why, "no chunk index: " + error);
    }
    plan.indexBytes = bytes.size();
    if (!parseChunkIndex(bytes, size, plan.chunks, &error)) return fail(why, "unusable chunk index: " + error);
    return true;
}

// Chunks the installed copy; `found` gets each of the release file's chunks
// it holds, once, with the very bytes that were hashed. The work is one
// lookup per installed chunk and one hand-out per release chunk, and the
// walk ends once every chunk is had.
bool matchInstalled(const std::filesystem::path& installed, const std::vector<ChunkEntry>& chunks,
                    std::vector<bool>& have,
                    const std::function<bool(std::size_t target, const std::uint8_t* bytes)>& found, std::string* why) {
    ChunkLookup lookup = makeChunkLookup(chunks);
    have.assign(chunks.size(), false);
    std::string error;
    bool complete = lookup.left == 0;
    const bool walked = complete || chunkFile(
                                        installed,
                                        [&](const ChunkEntry& chunk, const std::uint8_t* bytes) {
                                            const auto [first, last] = takeChunks(lookup, chunks, chunk);
                                            for (const std::uint32_t* target = first; target != last; ++target) {
                                                if (!found(*target, bytes)) return false;
                                                have[*target] = true;
                                            }
                                            complete = lookup.left == 0;
                                            return !complete;
                                        },
                                        &error);
    if (!walked && !complete) return fail(why, error.empty() ? "could not write the rebuilt file" : error);
    return true;
}

void planRanges(DeltaPlan& plan, const std::vector<bool>& have) {
    plan.ranges.clear();
    plan.reusedBytes = 0;
    plan.fetchBytes = 0;
    for (std::size_t i = 0; i < plan.chunks.size(); ++i) {
        if (have[i]) continue;
        const ChunkEntry& chunk = plan.chunks[i];
        const std::uint64_t last = chunk.offset + chunk.length - 1;
        if (!plan.ranges.empty() && chunk.offset - (plan.ranges.back().last + 1) <= kDeltaRangeGap) {
            plan.ranges.back().last = last;
        } else {
            plan.ranges.push_back({chunk.offset, last});
        }
    }
    std::uint64_t fileSize = 0;
    for (const ChunkEntry& chunk : plan.chunks) fileSize += chunk.length;
    for (const ByteRange& range : plan.ranges) plan.fetchBytes += range.last - range.first + 1;
    plan.reusedBytes = fileSize - plan.fetchBytes;
}

bool writeAt(HANDLE file, std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file, data, piece, &written, &at) || written == 0) return false;
        data += written;
        size -= written;
        offset += written;
    }
    return true;
}

// Copied chunks mostly follow each other in the new file too: they are
// gathered into large writes instead of one system call each.
class GatheredWriter {
public:
    explicit GatheredWriter(HANDLE file) : file_(file) { pending_.reserve(kGathered); }

    bool write(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
        if (!pending_.empty() && (offset != start_ + pending_.size() || pending_.size() + size > kGathered)) {
            if (!flush()) return false;
        }
        if (size >= kGathered) return writeAt(file_, offset, data, size);
        if (pending_.empty()) start_ = offset;
        pending_.insert(pending_.end(), data, data + size);
        return true;
    }

    bool flush() {
        const bool written = pending_.empty() || writeAt(file_, start_, pending_.data(), pending_.size());
        pending_.clear();
        return written;
    }

private:
    static constexpr std::size_t kGathered = 4 * 1024 * 1024;
    HANDLE file_;
    std::uint64_t start_ = 0;
    std::vector<std::uint8_t> pending_;
};

// The rebuilt file's digest, read in large pieces.
bool digestOfFile(HANDLE file, std::string& digestText) {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
    std::vector<std::uint8_t> buffer(4 * 1024 * 1024);
    Sha256Stream stream;
    sha256Begin(stream);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) return false;
        if (got == 0) break;
        sha256Feed(stream, buffer.data(), got);
    }
    std::uint8_t digest[32];
    sha256Finish(stream, digest);
    digestText = digestToHex(digest, sizeof digest);
    return true;
}

}  // namespace

std::filesystem::path chunkIndexPath(const std::string& sha256) {
    return std::filesystem::path(L"chunks") / pathFromUtf8(sha256);
}

bool planDelta(PatchDownloader& downloader, std::uint64_t size, const std::string& sha256,
               const std::filesystem::path& installed, DeltaPlan& plan, std::string* why) {
    plan = DeltaPlan();
    if (!isRegularFile(installed)) return fail(why, "no installed copy");
    if (!fetchIndex(downloader, size, sha256, plan, why)) return false;
    std::vector<bool> have;
    if (!matchInstalled(
            installed, plan.chunks, have, [](std::size_t, const std::uint8_t*) { return true; }, why)) {
        return false;
    }
    planRanges(plan, have);
    return true;
}

bool deltaDownload(PatchDownloader& downloader, const std::filesystem::path& relativePath, std::uint64_t size,
                   const std::string& sha256, const std::filesystem::path& installed,
                   const std::filesystem::path& destination, const DeltaPositionCallback& position, DeltaPlan* done,
                   std::string* why) {
    if (!isRegularFile(installed)) return fail(why, "no installed copy");
    const std::filesystem::path partial = partialDownloadPath(destination);
    // A whole download broken off earlier is resumed, not rebuilt over.
    ResumeRecord kept;
    if (readResumeRecord(resumeRecordPath(destination), kept)) {
        return fail(why, "a kept download is resumed instead");
    }
    DeltaPlan plan;
    if (!fetchIndex(downloader, size, sha256, plan, why)) return false;

    std::error_code folderError;
    std::filesystem::create_directories(destination.parent_path(), folderError);
    dropSharedFile(partial);  // a planted hard link is not truncated
    FileHandle file(CreateFileW(partial.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return fail(why, "could not create " + pathToUtf8(partial));
    // Every path out of here but success takes the partial file along.
    auto giveUp = [&](const std::string& reason) {
        file.reset();
        DeleteFileW(partial.c_str());
        if (position) position(0);
        return fail(why, reason);
    };

    std::uint64_t onHand = 0;
    std::vector<bool> have;
    GatheredWriter writer(file.get());
    const bool matched = matchInstalled(
                             installed, plan.chunks, have,
                             [&](std::size_t target, const std::uint8_t* bytes) {
                                 const ChunkEntry& chunk = plan.chunks[target];
                                 if (!writer.write(chunk.offset, bytes, chunk.length)) return false;
                                 onHand += chunk.length;
                                 if (position) position(onHand);
                                 return true;
                             },
                             why) &&
                         writer.flush();
    if (!matched) return giveUp(why != nullptr ? *why : std::string("could not chunk the installed copy"));
    planRanges(plan, have);
    // Present chunks inside a merged range come again with it.
    onHand = plan.reusedBytes;
    if (position) position(onHand);

    for (const ByteRange& range : plan.ranges) {
        std::uint64_t at = range.first;
        bool ignoresRanges = false;
        std::string error;
        const bool fetched = downloader.fetchRange(
            relativePath, range.first, range.last, size,
            [&](const std::uint8_t* data, std::size_t count) {
                if (!writeAt(file.get(), at, data, count)) return false;
                at += count;
                onHand += count;
                if (position) position(onHand);
                return true;
            },
            ignoresRanges, &error);
        if (!fetched) {
            return giveUp(ignoresRanges ? "the host does not serve ranges" : "a range failed: " + error);
        }
    }
    // The release's digest is the only authority; the index was not signed.
    std::string digest;
    if (!digestOfFile(file.get(), digest) || digest != sha256) {
        return giveUp("the rebuilt file does not match the release");
    }
    file.reset();
    if (!MoveFileExW(partial.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        return giveUp("could not move the rebuilt file into place");
    }
    if (done != nullptr) *done = plan;
    return true;
}
