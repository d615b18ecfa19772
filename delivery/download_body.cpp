#include "base/fail.h"
#include "base/safe_remove.h"
#include "base/windows_error.h"
#include "delivery/download_headers.h"
#include "delivery/download_messages.h"
#include "delivery/download_pace.h"
#include "delivery/download_transfer.h"
#include "update/file_hash.h"

#include <algorithm>

namespace {

// Creates every missing folder of the chain; `code` receives the Windows
// error of the step that failed.
bool createFolderChain(const std::filesystem::path& folder, DWORD& code) {
    if (folder.empty()) return true;
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
        code = ERROR_ALREADY_EXISTS;
        return false;
    }
    const std::filesystem::path parent = folder.parent_path();
    if (!parent.empty() && parent != folder && !createFolderChain(parent, code)) return false;
    if (CreateDirectoryW(folder.c_str(), nullptr)) return true;
    code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS) {
        const DWORD now = GetFileAttributesW(folder.c_str());
        if (now != INVALID_FILE_ATTRIBUTES && (now & FILE_ATTRIBUTE_DIRECTORY)) return true;
    }
    return false;
}

}  // namespace

bool PatchDownloader::checkStatus(const std::string& relativeText, const Response& response, const DownloadLimit& limit,
                                  std::uint64_t alreadyHeld, std::uint64_t& expected, std::string* error,
                                  bool& retryable) {
    const DWORD status = response.status;
    // 206 only ever reaches here as the accepted rest of a kept file.
    if (status != 200 && !(status == 206 && alreadyHeld > 0)) {
        if ((status == 401 || status == 403) && !response.tokenSent) {
            fail(error, "The patch server refused " + relativeText + " (HTTP " + std::to_string(status) + ").");
        } else if (status == 401 || status == 403) {
            fail(error, "The download server did not accept your login (HTTP " + std::to_string(status) +
                            "). Log in again and retry.");
        } else {
            fail(error, "Patch server returned HTTP " + std::to_string(status) + " for " + relativeText + ".");
        }
        retryable = status >= 500;
        return false;
    }

    expected = parseLength(queryHeaderText(response.request.get(), WINHTTP_QUERY_CONTENT_LENGTH));
    // An announced size that breaks the limit is refused before any of the
    // body is read; the unread body makes the connection unusable.
    const std::uint64_t room = limit.bytes - alreadyHeld;
    if (expected != 0 && limit.exact && expected != room) {
        fail(error, sizeMismatchText(relativeText, limit.bytes));
        retryable = true;
        closeConnection();
        return false;
    }
    if (expected > room) {
        fail(error, tooLargeText(relativeText, limit.bytes));
        closeConnection();
        return false;
    }
    return true;
}

// Creates "<destination>.download" and the folders above it, for a transfer
// that holds no kept bytes.
bool PatchDownloader::openTransferFile(const std::filesystem::path& destination, Transfer& transfer,
                                       std::string* error) {
    DWORD folderError = 0;
    if (!createFolderChain(destination.parent_path(), folderError)) {
        return fail(error, "Could not create download folder: " + windowsErrorMessage(folderError));
    }
    dropSharedFile(transfer.temporary);
    transfer.file.reset(CreateFileW(transfer.temporary.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!transfer.file) return fail(error, "Could not create download file: " + pathToUtf8(transfer.temporary));
    return true;
}

// A release file's transfer is kept for resuming only when the server
// named the copy it sends, so the rest can be asked of that copy alone.
void PatchDownloader::recordResumeSource(const Response& response, Transfer& transfer) {
    if (!transfer.resumable || transfer.recorded) return;
    const std::string validator = resumeValidator(queryHeaderText(response.request.get(), WINHTTP_QUERY_ETAG),
                                                  queryHeaderText(response.request.get(), WINHTTP_QUERY_LAST_MODIFIED),
                                                  queryHeaderText(response.request.get(), WINHTTP_QUERY_DATE));
    // A redirect may lead to a freshly signed URL each time: the kept bytes
    // belong to the URL asked for and the copy the validator names.
    transfer.resume = {response.requestUrl, validator};
    transfer.recorded = !validator.empty() && writeResumeRecord(transfer.record, transfer.resume);
}

// A broken transfer's bytes stay only when they can be resumed; its
// connection is not reused.
bool PatchDownloader::abandonTransfer(Transfer& transfer, bool again, bool keepable, bool& retryable) {
    transfer.file.reset();
    if (!(again && keepable && transfer.recorded)) {
        removeFile(transfer.temporary);
        removeFile(transfer.record);
    }
    closeConnection();
    retryable = again;
    return false;
}

// Writes the body into the transfer's file as it arrives, hashing a release
// file's bytes on the way; `received` is how much of it came.
bool PatchDownloader::keepBody(const std::string& relativeText, const Response& response, const DownloadLimit& limit,
                               std::uint64_t expected, const ProgressCallback& progress, Transfer& transfer,
                               std::uint64_t& received, std::string* error, bool& retryable) {
    const std::uint64_t held = transfer.held;
    const std::uint64_t whole = expected != 0 ? held + expected : 0;
    std::uint64_t kept = 0;
    bool writeFailed = false;
    const auto keep = [&](const std::uint8_t* data, std::size_t size) {
        DWORD written = 0;
        if (!WriteFile(transfer.file.get(), data, static_cast<DWORD>(size), &written, nullptr) || written != size) {
            writeFailed = true;
            return false;
        }
        // The bytes just read for writing are the ones hashed: no second read.
        if (transfer.resumable) sha256Feed(transfer.digest, data, size);
        kept += size;
        reportPosition(held + kept);
        if (progress && whole != 0) {
            progress(std::min(static_cast<float>(held + kept) / static_cast<float>(whole), 1.0f));
        }
        return true;
    };
    bool tooLong = false;
    if (readWholeBody(response.request.get(), limit.bytes - held, keep, received, error, &tooLong)) return true;
    if (writeFailed) {
        transfer.file.reset();
        removeFile(transfer.temporary);
        removeFile(transfer.record);
        return fail(error, "Could not write downloaded patch file.");
    }
    if (tooLong) {
        fail(error,
             limit.exact ? sizeMismatchText(relativeText, limit.bytes) : tooLargeText(relativeText, limit.bytes));
        // A longer body is another copy than the release's: nothing to resume.
        return abandonTransfer(transfer, limit.exact, false, retryable);
    }
    return abandonTransfer(transfer, true, true, retryable);
}

// Checks the arrived file against the answer and the release, then moves it
// over the destination.
bool PatchDownloader::finishTransfer(const std::string& relativeText, const std::filesystem::path& destination,
                                     const DownloadLimit& limit, std::uint64_t expected, std::uint64_t received,
                                     const ProgressCallback& progress, Transfer& transfer, std::string* error,
                                     bool& retryable) {
    transfer.file.reset();
    if (expected != 0 && expected != received) {
        fail(error, "Patch download size did not match the server response.");
        return abandonTransfer(transfer, true, true, retryable);
    }
    if (limit.exact && transfer.held + received != limit.bytes) {
        fail(error, sizeMismatchText(relativeText, limit.bytes));
        return abandonTransfer(transfer, true, true, retryable);
    }
    if (transfer.resumable) {
        std::uint8_t digest[32];
        sha256Finish(transfer.digest, digest);
        if (digestToHex(digest, sizeof digest) != limit.sha256) {
            // Not the release's file, however it came to be: none of it is kept.
            removeFile(transfer.temporary);
            removeFile(transfer.record);
            mismatched_ = true;
            retryable = true;
            return fail(error, mismatchText(relativeText));
        }
    }

    // Replacing in one move (never deleting first) keeps the previous copy
    // when the move fails.
    transfer.complete = true;
    if (!MoveFileExW(transfer.temporary.c_str(), destination.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        const DWORD code = GetLastError();
        return fail(error, "Could not finalize downloaded file: " + windowsErrorMessage(code));
    }
    removeFile(transfer.record);

    if (progress) progress(1.0f);
    if (error != nullptr) error->clear();
    return true;
}

bool PatchDownloader::receiveBody(const std::string& relativeText, const Response& response,
                                  const std::filesystem::path& destination, const DownloadLimit& limit,
                                  std::uint64_t expected, const ProgressCallback& progress, Transfer& transfer,
                                  std::string* error, bool& retryable) {
    if (!transfer.file && !openTransferFile(destination, transfer, error)) return false;
    recordResumeSource(response, transfer);
    std::uint64_t received = 0;
    return keepBody(relativeText, response, limit, expected, progress, transfer, received, error, retryable) &&
           finishTransfer(relativeText, destination, limit, expected, received, progress, transfer, error, retryable);
}

// Reads a body to its end into `sink`, refusing one longer than `limit`
// (`tooLong` then tells so); the connection is closed on every failure.
bool PatchDownloader::readWholeBody(HINTERNET request, std::uint64_t limit,
                                    const std::function<bool(const std::uint8_t*, std::size_t)>& sink,
                                    std::uint64_t& received, std::string* error, bool* tooLong) {
    if (buffer_.size() != kReadBytes) buffer_.assign(kReadBytes, 0);
    received = 0;
    if (tooLong != nullptr) *tooLong = false;
    // A connection that was fast for the last file starts the next one fast.
    StallWatch stallWatch(stallWindow_);
    ReadPace pace(fastLink_);
    for (;;) {
        DWORD wanted = kReadBytes;
        const bool askFirst = !pace.fast();
        if (askFirst) {
            DWORD available = 0;
            if (!WinHttpQueryDataAvailable(request, &available)) {
                // Before the close, which resets the thread's last error.
                appendWindowsError("Patch download interrupted", error);
                closeConnection();
                return false;
            }
            if (available == 0) return true;
            wanted = std::min(available, kReadBytes);
        }
        // One byte past the limit is enough to know the body is too long;
        // it never reaches the sink.
        const std::uint64_t allowance = limit - received;
        if (allowance < wanted) wanted = static_cast<DWORD>(allowance + 1);
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer_.data(), wanted, &read) || (read == 0 && askFirst)) {
            // Before the close, which resets the thread's last error.
            appendWindowsError("Patch download read failed", error);
            closeConnection();
            return false;
        }
        if (read == 0) return true;  // a full-buffer read that found the body's end
        if (read > allowance) {
            if (tooLong != nullptr) *tooLong = true;
            closeConnection();
            return fail(error, "Patch server sent more than " + sizeText(limit) + ".");
        }
        // Counted before the sink reports the position, so a reader of both
        // never sees bytes on hand that did not cross the network.
        if (networkCounter_ != nullptr) networkCounter_->fetch_add(read);
        if (!sink(reinterpret_cast<const std::uint8_t*>(buffer_.data()), read)) {
            closeConnection();
            return false;
        }
        received += read;
        pace.arrived(read);
        fastLink_ = pace.fast();
        // WinHTTP's receive timeout only catches a host that sends
        // nothing at all; one that trickles is caught here.
        if (!stallWatch.keepsUp(received)) {
            closeConnection();
            return fail(error,
                        "Patch download stalled: less than 1 KiB arrived in " + durationText(stallWindow_) + ".");
        }
    }
}
