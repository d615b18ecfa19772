#include "base/safe_remove.h"
#include "delivery/download_headers.h"
#include "delivery/download_transfer.h"

#include <algorithm>

// Takes up what an earlier attempt kept of this file: its bytes are read
// back into the digest, so the whole file's digest is known on arrival. A
// partial file without a usable record, or one that cannot be resumed, is
// discarded.
void PatchDownloader::takeUpPartial(Transfer& transfer, const DownloadLimit& limit) {
    if (!readResumeRecord(transfer.record, transfer.resume)) {
        startOver(transfer);
        return;
    }
    transfer.file.reset(CreateFileW(transfer.temporary.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    LARGE_INTEGER size{};
    // A kept file with another name (a planted hard link or link) is not appended to.
    if (!transfer.file || !isSoleFile(transfer.file.get()) || !GetFileSizeEx(transfer.file.get(), &size) ||
        size.QuadPart <= 0 || static_cast<std::uint64_t>(size.QuadPart) >= limit.bytes) {
        startOver(transfer);
        return;
    }
    const std::uint64_t kept = static_cast<std::uint64_t>(size.QuadPart);
    std::uint64_t read = 0;
    while (read < kept) {
        const DWORD wanted = static_cast<DWORD>(std::min<std::uint64_t>(kept - read, buffer_.size()));
        DWORD got = 0;
        if (!ReadFile(transfer.file.get(), buffer_.data(), wanted, &got, nullptr) || got == 0) {
            startOver(transfer);
            return;
        }
        sha256Feed(transfer.digest, buffer_.data(), got);
        read += got;
    }
    transfer.held = kept;
    transfer.recorded = true;
}

// Forgets every byte kept: the next bytes written are the file's first.
void PatchDownloader::startOver(Transfer& transfer) {
    transfer.file.reset();
    removeFile(transfer.temporary);
    removeFile(transfer.record);
    transfer.held = 0;
    transfer.recorded = false;
    sha256Begin(transfer.digest);
    reportPosition(0);
}

// A resumed answer is appended only when it is the rest of the very copy the
// kept bytes came from: same URL, same validator, and a range that starts
// where they end and spans the release file's size, wherever a redirect led.
bool PatchDownloader::acceptsResumedAnswer(const Response& response, const Transfer& transfer,
                                           const DownloadLimit& limit) const {
    if (response.status != 206 || response.requestUrl != transfer.resume.url) return false;
    ContentRange range;
    if (!parseContentRange(queryHeaderText(response.request.get(), WINHTTP_QUERY_CONTENT_RANGE), range) ||
        range.first != transfer.held || range.total != limit.bytes || range.last + 1 != limit.bytes) {
        return false;
    }
    // A server that ignores If-Range would send the rest of another copy; one
    // that names no copy cannot show it sent the same.
    const bool etag = transfer.resume.validator.starts_with("\"");
    const std::string validator =
        queryHeaderText(response.request.get(), etag ? WINHTTP_QUERY_ETAG : WINHTTP_QUERY_LAST_MODIFIED);
    return validator == transfer.resume.validator;
}
