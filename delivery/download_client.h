#pragma once
// Fetching single files from a patch source over HTTP(S) with WinHTTP: one GET
// of a path below a base URL, streamed into "<destination>.download", checked
// against Content-Length, its size limit and, for a release file, its digest,
// and moved into place. A release file's broken transfer is kept and resumed
// with a Range request. Redirects are followed here, not by WinHTTP. Plus the
// small URL utilities the delivery code shares and the process-wide download
// token.

#include "base/handles.h"
#include "base/progress.h"
#include "base/utf8_paths.h"            // utf8ToWide
#include "delivery/download_headers.h"  // ContentRange, parseContentRange
#include "delivery/download_pace.h"     // kStallMinimumBytes, kDefaultStallWindow
#include "delivery/download_url.h"      // isHttpUrl, percentEncodePath

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The bearer token sent with every later request of every downloader (to
// the patch source's own scheme, host and port only).
void setDownloadToken(const std::string& token);

// What a download may bring, known before it starts.
struct DownloadLimit {
    std::uint64_t bytes = 0;  // the body may not be longer
    bool exact = false;       // the body must be exactly `bytes` long (a game file)
    // A release file's digest text: the body is hashed as it arrives and must
    // match it, and a broken transfer is kept to be resumed. Empty for files
    // the release lists no digest for.
    std::string sha256;
};
inline DownloadLimit atMost(std::uint64_t bytes) { return {bytes, false, {}}; }
inline DownloadLimit exactly(std::uint64_t bytes) { return {bytes, true, {}}; }
inline DownloadLimit releaseFile(std::uint64_t bytes, std::string sha256) { return {bytes, true, std::move(sha256)}; }

// Where a download stands: the bytes of the file on hand, those kept from an
// earlier attempt included. Goes back to 0 when a download starts over.
using DownloadPositionCallback = std::function<void(std::uint64_t bytesOnHand)>;

// Redirects followed per download before it fails.
inline constexpr int kMaxRedirects = 5;

// A client bound to one base URL, holding one connection that is opened on
// first use and reused across requests. Used by one thread at a time.
class PatchDownloader {
public:
    // Never fails: a URL that cannot be cracked leaves host() empty, and
    // connect() reports it.
    explicit PatchDownloader(const std::string& baseUrl);
    ~PatchDownloader();
    PatchDownloader(const PatchDownloader&) = delete;
    PatchDownloader& operator=(const PatchDownloader&) = delete;

    [[nodiscard]] bool connect(std::string* error = nullptr);

    // One attempt to fetch `relativePath` (below the base URL) into
    // `destination`, refused as soon as the body breaks `limit`.
    // `retryable` tells whether another attempt can help.
    [[nodiscard]] bool downloadOnce(const std::filesystem::path& relativePath, const std::filesystem::path& destination,
                                    DownloadLimit limit, const ProgressCallback& progress, std::string* error,
                                    bool& retryable);

    // How long a transfer may bring less than kStallMinimumBytes (and how
    // long one receive may wait) before it fails; tests shorten it.
    void setStallWindow(std::chrono::milliseconds window) { stallWindow_ = window; }
    std::chrono::milliseconds stallWindow() const { return stallWindow_; }

    // Called as bytes arrive (from the downloading thread) until replaced.
    void setPositionObserver(DownloadPositionCallback observer) { positionObserver_ = std::move(observer); }
    // Adds every body byte that crosses the network (files, ranges, indexes)
    // to `counter`; kept and reused bytes never reach it. Null: none.
    void setNetworkCounter(std::atomic<std::uint64_t>* counter) { networkCounter_ = counter; }

    // One GET of a small file into memory (at most `limit` bytes); false on
    // any answer but a 200 (`status` tells which, 0 when none came).
    [[nodiscard]] bool fetchSmallFile(const std::filesystem::path& relativePath, std::uint64_t limit,
                                      std::vector<std::uint8_t>& body, DWORD& status, std::string* error = nullptr);

    // One GET of bytes first..last (inclusive) of a file of `total` bytes;
    // the body goes to `sink` as it arrives. False unless the answer is a 206
    // with exactly that Content-Range and body; `ignoresRanges` is set when
    // the host answered 200 (the whole file) instead.
    [[nodiscard]] bool fetchRange(const std::filesystem::path& relativePath, std::uint64_t first, std::uint64_t last,
                                  std::uint64_t total,
                                  const std::function<bool(const std::uint8_t*, std::size_t)>& sink,
                                  bool& ignoresRanges, std::string* error = nullptr);

    // True when the last attempt failed because the whole body did not match
    // the release file's digest (the file is gone; a new attempt starts from 0).
    bool lastAttemptMismatched() const { return mismatched_; }
    // The last attempt for the log: status, bytes, time, redirect hosts; never a query or a header.
    const std::string& lastAttemptSummary() const { return lastSummary_; }

    const std::string& baseUrl() const { return baseUrl_; }
    const std::wstring& host() const { return host_; }
    const std::wstring& basePath() const { return basePath_; }
    std::uint16_t port() const { return port_; }
    bool secure() const { return secure_; }
    bool connected() const { return static_cast<bool>(connection_); }

private:
    struct Response;
    struct Transfer;

    void closeConnection();
    void reportPosition(std::uint64_t bytesOnHand) const;
    [[nodiscard]] bool sourceUsable(std::string* error) const;
    [[nodiscard]] bool sendRequest(HINTERNET connection, const std::wstring& path, bool secure, bool withToken,
                                   const std::wstring& extraHeaders, Response& response, std::string* error,
                                   bool& retryable);
    [[nodiscard]] bool openResponse(const std::string& relativeText, const std::wstring& extraHeaders,
                                    Response& response, std::string* error, bool& retryable);
    void takeUpPartial(Transfer& transfer, const DownloadLimit& limit);
    void startOver(Transfer& transfer);
    [[nodiscard]] bool acceptsResumedAnswer(const Response& response, const Transfer& transfer,
                                            const DownloadLimit& limit) const;
    [[nodiscard]] bool checkStatus(const std::string& relativeText, const Response& response,
                                   const DownloadLimit& limit, std::uint64_t alreadyHeld, std::uint64_t& expected,
                                   std::string* error, bool& retryable);
    [[nodiscard]] bool openTransferFile(const std::filesystem::path& destination, Transfer& transfer,
                                        std::string* error);
    void recordResumeSource(const Response& response, Transfer& transfer);
    bool abandonTransfer(Transfer& transfer, bool again, bool keepable, bool& retryable);
    [[nodiscard]] bool keepBody(const std::string& relativeText, const Response& response, const DownloadLimit& limit,
                                std::uint64_t expected, const ProgressCallback& progress, Transfer& transfer,
                                std::uint64_t& received, std::string* error, bool& retryable);
    [[nodiscard]] bool finishTransfer(const std::string& relativeText, const std::filesystem::path& destination,
                                      const DownloadLimit& limit, std::uint64_t expected, std::uint64_t received,
                                      const ProgressCallback& progress, Transfer& transfer, std::string* error,
                                      bool& retryable);
    [[nodiscard]] bool receiveBody(const std::string& relativeText, const Response& response,
                                   const std::filesystem::path& destination, const DownloadLimit& limit,
                                   std::uint64_t expected, const ProgressCallback& progress, Transfer& transfer,
                                   std::string* error, bool& retryable);
    [[nodiscard]] bool readWholeBody(HINTERNET request, std::uint64_t limit,
                                     const std::function<bool(const std::uint8_t*, std::size_t)>& sink,
                                     std::uint64_t& received, std::string* error, bool* tooLong = nullptr);
    [[nodiscard]] bool attempt(const std::filesystem::path& relativePath, const std::filesystem::path& destination,
                               const DownloadLimit& limit, const ProgressCallback& progress, Transfer& transfer,
                               std::string* error, bool& retryable);

    std::string baseUrl_;
    std::wstring host_;
    std::wstring basePath_;
    std::uint16_t port_ = 0;
    bool secure_ = false;
    WinHttpHandle connection_;
    std::chrono::milliseconds stallWindow_ = kDefaultStallWindow;
    DownloadPositionCallback positionObserver_;
    std::atomic<std::uint64_t>* networkCounter_ = nullptr;
    bool mismatched_ = false;
    std::string lastSummary_;
    std::string lastHops_;                    // " > host" per redirect followed
    mutable std::uint64_t lastPosition_ = 0;  // bytes on hand, as last reported
    bool fastLink_ = false;                   // the last body arrived fast enough for whole-buffer reads
    std::vector<char> buffer_;                // the receive buffer, kept across downloads
};

// Up to three attempts on an existing downloader (and so one connection),
// sleeping 250, 500 and 750 ms after retryable failures. A release file whose
// digest does not match is fetched once more from zero; a second mismatch
// fails with "Downloaded file does not match the release: <path>.". A
// resumable transfer that still broke off is left for a later attempt.
[[nodiscard]] bool downloadWithRetries(PatchDownloader& downloader, const std::filesystem::path& relativePath,
                                       const std::filesystem::path& destination, DownloadLimit limit,
                                       const ProgressCallback& progress = {}, std::string* error = nullptr);

// The one-shot form: checks the URL, makes its own downloader for up to three
// attempts, and closes its connection before returning.
[[nodiscard]] bool downloadPatchFile(const std::string& baseUrl, const std::filesystem::path& relativePath,
                                     const std::filesystem::path& destination, DownloadLimit limit,
                                     const ProgressCallback& progress = {}, std::string* error = nullptr);
