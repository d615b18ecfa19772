#include "delivery/download_client.h"

#include "base/fail.h"
#include "delivery/download_transfer.h"

#include <optional>
#include <utility>

PatchDownloader::PatchDownloader(const std::string& baseUrl) : baseUrl_(baseUrl) {
    while (!baseUrl_.empty() && baseUrl_.back() == '/') baseUrl_.pop_back();
    const std::optional<RequestTarget> base = crackAbsoluteUrl(utf8ToWide(baseUrl_ + "/"));
    if (!base) return;
    host_ = base->host;
    basePath_ = base->path;
    while (!basePath_.empty() && basePath_.back() == L'/') basePath_.pop_back();
    port_ = base->port;
    secure_ = base->secure;
}

PatchDownloader::~PatchDownloader() { closeConnection(); }

void PatchDownloader::closeConnection() { connection_.reset(); }

void PatchDownloader::reportPosition(std::uint64_t bytesOnHand) const {
    if (positionObserver_) positionObserver_(bytesOnHand);
}

bool PatchDownloader::attempt(const std::filesystem::path& relativePath, const std::filesystem::path& destination,
                              const DownloadLimit& limit, const ProgressCallback& progress, Transfer& transfer,
                              std::string* error, bool& retryable) {
    const std::string relativeText = genericPathUtf8(relativePath);
    transfer.temporary = partialDownloadPath(destination);
    transfer.record = resumeRecordPath(destination);
    transfer.resumable = limit.exact && !limit.sha256.empty();
    if (buffer_.size() != kReadBytes) buffer_.assign(kReadBytes, 0);
    if (transfer.resumable) {
        sha256Begin(transfer.digest);
        takeUpPartial(transfer, limit);
    }
    reportPosition(transfer.held);

    std::wstring rangeHeaders;
    if (transfer.held > 0) {
        rangeHeaders = L"Range: bytes=" + std::to_wstring(transfer.held) + L"-\r\nIf-Range: " +
                       utf8ToWide(transfer.resume.validator) + L"\r\n";
    }
    Response response;
    if (!openResponse(relativeText, rangeHeaders, response, error, retryable)) return false;
    if (transfer.held > 0 && !acceptsResumedAnswer(response, transfer, limit)) {
        const DWORD status = response.status;
        const bool refusal = status == 401 || status == 403 || status >= 500;
        if (!refusal) {
            // A 200 is the whole file from its first byte; anything else is
            // asked for again, whole.
            startOver(transfer);
            if (status != 200) {
                response = Response();
                closeConnection();
                if (!connect(error)) {
                    retryable = true;
                    return false;
                }
                if (!openResponse(relativeText, {}, response, error, retryable)) return false;
            }
        }
    }
    transfer.status = response.status;
    std::uint64_t expected = 0;
    return checkStatus(relativeText, response, limit, transfer.held, expected, error, retryable) &&
           receiveBody(relativeText, response, destination, limit, expected, progress, transfer, error, retryable);
}

bool PatchDownloader::downloadOnce(const std::filesystem::path& relativePath, const std::filesystem::path& destination,
                                   DownloadLimit limit, const ProgressCallback& progress, std::string* error,
                                   bool& retryable) {
    retryable = false;
    mismatched_ = false;
    if (!sourceUsable(error)) return false;
    if (!connect(error)) {
        retryable = true;
        return false;
    }
    Transfer transfer;
    if (attempt(relativePath, destination, limit, progress, transfer, error, retryable)) return true;
    transfer.file.reset();
    // Kept bytes survive a failure that says nothing about the file (the
    // network, the server's own trouble, a refused login) for the next
    // attempt or RETRY; any other failure takes them along. A file that only
    // failed its move stays where it is.
    const bool refusedLogin = transfer.status == 401 || transfer.status == 403;
    if (transfer.recorded && !retryable && !refusedLogin && !transfer.complete) {
        removeFile(transfer.temporary);
        removeFile(transfer.record);
    }
    return false;
}

bool downloadWithRetries(PatchDownloader& downloader, const std::filesystem::path& relativePath,
                         const std::filesystem::path& destination, DownloadLimit limit,
                         const ProgressCallback& progress, std::string* error) {
    bool refetched = false;
    for (int failures = 0; failures < 3;) {
        bool retryable = false;
        if (downloader.downloadOnce(relativePath, destination, limit, progress, error, retryable)) return true;
        if (downloader.lastAttemptMismatched()) {
            // Fetched once more from zero; a second mismatch is final.
            if (refetched) return false;
            refetched = true;
            continue;
        }
        if (!retryable) return false;
        Sleep(static_cast<DWORD>(250 * (failures + 1)));
        ++failures;
    }
    return false;
}

bool downloadPatchFile(const std::string& baseUrl, const std::filesystem::path& relativePath,
                       const std::filesystem::path& destination, DownloadLimit limit, const ProgressCallback& progress,
                       std::string* error) {
    if (!isHttpUrl(baseUrl)) {
        return fail(error, "Patch source is not an HTTP URL.");
    }
    PatchDownloader downloader(baseUrl);
    return downloadWithRetries(downloader, relativePath, destination, limit, progress, error);
}
