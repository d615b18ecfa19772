#include "delivery/download_client.h"

#include "base/diagnostic_log.h"
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
    lastPosition_ = bytesOnHand;
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
    const bool opened = openResponse(relativeText, rangeHeaders, response, error, retryable);
    lastHops_ = response.hops;
    if (!opened) return false;
    if (transfer.held > 0 && !acceptsResumedAnswer(response, transfer, limit)) {
        const DWORD status = response.status;
        const bool refusal = status == 401 || status == 403 || status >= 500;
        if (!refusal) {
            logInfo("download", "Resume of " + relativeText + " from byte " + std::to_string(transfer.held) +
                                    " refused (HTTP " + std::to_string(status) + "): fetching it whole.");
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
    lastSummary_ = "no answer";
    lastHops_.clear();
    lastPosition_ = 0;
    if (!sourceUsable(error)) return false;
    if (!connect(error)) {
        retryable = true;
        return false;
    }
    Transfer transfer;
    const ULONGLONG started = GetTickCount64();
    const bool done = attempt(relativePath, destination, limit, progress, transfer, error, retryable);
    lastSummary_ = (transfer.status != 0 ? "HTTP " + std::to_string(transfer.status) : std::string("no answer")) +
                   ", " + std::to_string(lastPosition_ > transfer.held ? lastPosition_ - transfer.held : 0) +
                   " bytes (" + std::to_string(transfer.held) + " kept), " +
                   std::to_string(GetTickCount64() - started) + " ms" +
                   (lastHops_.empty() ? "" : ", redirected" + lastHops_);
    if (done) return true;
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
    const std::string url = urlWithoutQuery(downloader.baseUrl() + "/" + genericPathUtf8(relativePath));
    for (int failures = 0, tries = 1; failures < 3; ++tries) {
        bool retryable = false;
        std::string attemptError;
        const bool done = downloader.downloadOnce(relativePath, destination, limit, progress, &attemptError, retryable);
        logEvent(done ? LogLevel::Info : LogLevel::Warning, "http",
                 "GET " + url + " try " + std::to_string(tries) + ": " + downloader.lastAttemptSummary() +
                     (done ? "." : "; " + attemptError));
        if (error) *error = attemptError;
        if (done) return true;
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
