#include "delivery/download_client.h"

#include "base/http_url.h"
#include "base/safe_remove.h"
#include "base/secure_failure.h"
#include "base/windows_error.h"
#include "delivery/partial_download.h"
#include "update/file_hash.h"
#include "update/sha256.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

namespace {

// One read's most: big reads keep WinHTTP's per-call cost off the transfer.
constexpr DWORD kReadBytes = 1024 * 1024;
// From this rate on, reads ask WinHTTP for a whole buffer without first
// asking what has arrived (see ReadPace).
constexpr std::uint64_t kFastBytesPerSecond = 8ull * 1024 * 1024;

// The process-wide session: created on first use, closed at exit.
WinHttpHandle downloadSession;
std::once_flag downloadSessionOnce;

std::mutex downloadTokenMutex;
std::string downloadToken;

HINTERNET sessionHandle() {
    std::call_once(downloadSessionOnce, [] {
        HINTERNET session = WinHttpOpen(L"TinderhallowLauncher/1", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        if (session != nullptr) WinHttpSetTimeouts(session, 10000, 10000, 30000, 30000);
        downloadSession.reset(session);
    });
    return downloadSession.get();
}

// Where one request of a download goes: the patch source itself, or wherever
// a redirect led. Its path is sent exactly as it is.
using RequestTarget = HttpUrlParts;

wchar_t asciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool sameHostName(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](wchar_t x, wchar_t y) { return asciiLower(x) == asciiLower(y); });
}

bool isFollowedRedirect(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// "/a/b/../c" becomes "/a/c"; the query is left as it is.
std::wstring withoutDotSegments(const std::wstring& target) {
    const std::size_t queryStart = target.find(L'?');
    const std::wstring path = target.substr(0, queryStart);
    const std::wstring query = queryStart == std::wstring::npos ? std::wstring() : target.substr(queryStart);
    std::vector<std::wstring> segments;
    std::size_t position = path.empty() || path[0] != L'/' ? 0 : 1;
    for (;;) {
        const std::size_t slash = path.find(L'/', position);
        const bool last = slash == std::wstring::npos;
        const std::wstring segment = path.substr(position, last ? std::wstring::npos : slash - position);
        if (segment == L"..") {
            if (!segments.empty()) segments.pop_back();
            if (last) segments.emplace_back();
        } else if (segment == L".") {
            if (last) segments.emplace_back();
        } else {
            segments.push_back(segment);
        }
        if (last) break;
        position = slash + 1;
    }
    std::wstring result;
    for (const std::wstring& segment : segments) result += L"/" + segment;
    if (result.empty()) result = L"/";
    return result + query;
}

std::optional<RequestTarget> crackAbsoluteUrl(const std::wstring& url) {
    std::optional<RequestTarget> target = crackHttpUrl(url);
    if (target) target->path = withoutDotSegments(target->path);
    return target;
}

// The target of a Location header, resolved against the request that got it
// (absolute, scheme-relative, absolute-path or relative). Empty for a
// location that is missing or not HTTP(S).
std::optional<RequestTarget> redirectTarget(const RequestTarget& current, std::wstring location) {
    const std::size_t fragment = location.find(L'#');
    if (fragment != std::wstring::npos) location.erase(fragment);
    while (!location.empty() && (location.back() == L' ' || location.back() == L'\t')) location.pop_back();
    while (!location.empty() && (location.front() == L' ' || location.front() == L'\t')) location.erase(0, 1);
    if (location.empty()) return std::nullopt;

    if (location.starts_with(L"//")) return crackAbsoluteUrl((current.secure ? L"https:" : L"http:") + location);
    const std::size_t colon = location.find(L':');
    const std::size_t pathStart = location.find_first_of(L"/?");
    if (colon != std::wstring::npos && (pathStart == std::wstring::npos || colon < pathStart)) {
        return crackAbsoluteUrl(location);  // any scheme but http and https is refused there
    }

    RequestTarget next = current;
    const std::wstring currentPath = current.path.substr(0, current.path.find(L'?'));
    if (location[0] == L'/') {
        next.path = location;
    } else if (location[0] == L'?') {
        next.path = currentPath + location;
    } else {
        next.path = currentPath.substr(0, currentPath.rfind(L'/') + 1) + location;
    }
    next.path = withoutDotSegments(next.path);
    return next;
}

// One response header's text; empty when it is missing or implausibly long.
std::wstring queryHeader(HINTERNET request, DWORD header) {
    DWORD size = 0;
    WinHttpQueryHeaders(request, header, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0 || size > 16384) return {};
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(request, header, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return {};
    }
    text.resize(size / sizeof(wchar_t));
    return text;
}

// "64 MiB", "16 KiB" or "1000 bytes".
std::string sizeText(std::uint64_t bytes) {
    constexpr std::uint64_t kib = 1024;
    constexpr std::uint64_t mib = 1024 * 1024;
    if (bytes >= mib && bytes % mib == 0) return std::to_string(bytes / mib) + " MiB";
    if (bytes >= kib && bytes % kib == 0) return std::to_string(bytes / kib) + " KiB";
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

std::string tooLargeText(const std::string& relativeText, std::uint64_t limit) {
    return "Patch server sent more than " + sizeText(limit) + " for " + relativeText + ".";
}

std::string sizeMismatchText(const std::string& relativeText, std::uint64_t size) {
    return "Patch server sent " + relativeText + " with a size that does not match the release manifest (" +
           std::to_string(size) + " bytes).";
}

std::string durationText(std::chrono::milliseconds window) {
    const auto milliseconds = static_cast<long long>(window.count());
    if (milliseconds % 1000 != 0) return std::to_string(milliseconds) + " ms";
    const long long seconds = milliseconds / 1000;
    return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

// Watches that every stretch of the window brings at least
// kStallMinimumBytes. Keeps one mark per read that lies within the last
// kStallMinimumBytes received, so it stays small however long the transfer.
class StallWatch {
public:
    explicit StallWatch(std::chrono::milliseconds window)
        : window_(static_cast<std::uint64_t>(std::max<long long>(window.count(), 0))) {
        marks_.push_back({GetTickCount64(), 0});
    }

    // False once the last window brought less than the minimum.
    bool keepsUp(std::uint64_t received) {
        const std::uint64_t now = GetTickCount64();
        marks_.push_back({now, received});
        // The front mark becomes the moment the total first rose above
        // received - minimum: from then on less than the minimum arrived.
        while (marks_.front().second + kStallMinimumBytes <= received) marks_.pop_front();
        return now - marks_.front().first < window_;
    }

private:
    std::uint64_t window_;
    std::deque<std::pair<std::uint64_t, std::uint64_t>> marks_;  // (tick, total received)
};

void setError(std::string* error, const std::string& text) {
    if (error != nullptr) *error = text;
}

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

void removeFile(const std::filesystem::path& path) { DeleteFileW(path.c_str()); }

// Under Wine, WinHttpReadData returns only once the buffer is full or the
// body has ended, so a big read on a slow link would keep the stall watch
// from looking for as long as the buffer takes to fill. While bytes flow
// fast, reads go straight for a whole buffer, without a
// WinHttpQueryDataAvailable round trip each; otherwise each read takes what
// has arrived. (A host that turns from fast to a trickle within one read
// delays the stall watch until that read is full; one that stops outright
// is cut off by the receive time-out.)
class ReadPace {
public:
    explicit ReadPace(bool fast) : fast_(fast) {}
    bool fast() const { return fast_; }

    void arrived(std::uint64_t bytes) {
        bytes_ += bytes;
        const auto now = std::chrono::steady_clock::now();
        const auto span = std::chrono::duration_cast<std::chrono::microseconds>(now - since_).count();
        if (span < 50000) return;
        fast_ = bytes_ * 1000000 / static_cast<std::uint64_t>(span) >= kFastBytesPerSecond;
        since_ = now;
        bytes_ = 0;
    }

private:
    bool fast_;
    std::uint64_t bytes_ = 0;
    std::chrono::steady_clock::time_point since_ = std::chrono::steady_clock::now();
};

std::string queryHeaderText(HINTERNET request, DWORD header) { return wideToUtf8(queryHeader(request, header)); }

std::string targetUrl(const RequestTarget& target) {
    return std::string(target.secure ? "https://" : "http://") + wideToUtf8(target.host) + ":" +
           std::to_string(target.port) + wideToUtf8(target.path);
}

bool parseNumber(std::string_view& text, std::uint64_t& value) {
    std::size_t used = 0;
    value = 0;
    while (used < text.size() && text[used] >= '0' && text[used] <= '9') {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[used] - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
        ++used;
    }
    text.remove_prefix(used);
    return used > 0;
}

// Content-Length as a number; 0 ("unknown") for anything that is not a
// plain decimal number that fits.
std::uint64_t parseLength(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    std::uint64_t value = 0;
    return parseNumber(text, value) && text.empty() ? value : 0;
}

std::string mismatchText(const std::string& relativeText) {
    return "Downloaded file does not match the release: " + relativeText + ".";
}

}  // namespace

bool parseContentRange(std::string_view text, ContentRange& range) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (!text.starts_with("bytes ")) return false;
    text.remove_prefix(6);
    ContentRange read;
    if (!parseNumber(text, read.first) || !text.starts_with("-")) return false;
    text.remove_prefix(1);
    if (!parseNumber(text, read.last) || !text.starts_with("/")) return false;
    text.remove_prefix(1);
    if (!parseNumber(text, read.total) || !text.empty()) return false;
    if (read.first > read.last || read.last >= read.total) return false;
    range = read;
    return true;
}

bool isHttpUrl(std::string_view text) {
    auto startsWith = [&](std::string_view prefix) {
        if (text.size() < prefix.size()) return false;
        for (std::size_t i = 0; i < prefix.size(); ++i) {
            char c = text[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != prefix[i]) return false;
        }
        return true;
    };
    return startsWith("http://") || startsWith("https://");
}

std::string percentEncodePath(std::string_view path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                           (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '/' || byte == '_' ||
                           byte == '~';
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0x0F];
        }
    }
    return out;
}

void setDownloadToken(const std::string& token) {
    std::lock_guard<std::mutex> lock(downloadTokenMutex);
    downloadToken = token;
}

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

bool PatchDownloader::connect(std::string* error) {
    if (connection_) return true;
    if (!sourceUsable(error)) return false;
    if (host_.empty()) {
        setError(error, "Could not parse patch URL.");
        return false;
    }
    HINTERNET session = sessionHandle();
    if (session == nullptr) return appendWindowsError("Could not initialize patch download", error);
    closeConnection();
    connection_.reset(WinHttpConnect(session, host_.c_str(), port_, 0));
    if (!connection_) return appendWindowsError("Could not connect to patch server", error);
    return true;
}

// The request in flight, and the connection to another host when a redirect
// led there. Both are closed on every path out of an attempt.
struct PatchDownloader::Response {
    WinHttpHandle request;
    WinHttpHandle otherHost;
    DWORD status = 0;
    DWORD secureFailures = 0;  // written by the request's status callback
    std::string url;           // where the answer came from, after redirects
};

// One attempt's file: "<destination>.download", and what it already holds
// when an earlier attempt left bytes to resume.
struct PatchDownloader::Transfer {
    std::filesystem::path temporary;
    std::filesystem::path record;  // the resume record beside it
    FileHandle file;               // open from the first byte kept or written
    std::uint64_t held = 0;        // bytes in the file before this answer's body
    ResumeRecord resume;           // where those bytes came from
    bool resumable = false;        // a release file: hashed, and kept when a transfer breaks
    bool recorded = false;         // the resume record names this file's source
    bool complete = false;         // every byte arrived and matched; only the move is left
    DWORD status = 0;              // of the answer the body came with
    Sha256Stream digest{};
};

void PatchDownloader::reportPosition(std::uint64_t bytesOnHand) const {
    if (positionObserver_) positionObserver_(bytesOnHand);
}

bool PatchDownloader::sourceUsable(std::string* error) const {
    // The relative path is appended to the base URL's path: after a query or
    // fragment it would be sent as part of those, not as a path.
    if (baseUrl_.find_first_of("?#") == std::string::npos) return true;
    setError(error, "Patch source is not usable: its URL contains \"?\" or \"#\".");
    return false;
}

// One GET, up to the response head and its status.
bool PatchDownloader::sendRequest(HINTERNET connection, const std::wstring& path, bool secure, bool withToken,
                                  const std::wstring& extraHeaders, Response& response, std::string* error,
                                  bool& retryable) {
    response.request.reset();
    response.secureFailures = 0;
    response.request.reset(WinHttpOpenRequest(connection, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                              WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
    // WinHTTP would follow redirects itself and re-send the token to
    // wherever they lead; openResponse follows them instead.
    DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
    if (!response.request ||
        !WinHttpSetOption(response.request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects, sizeof(noRedirects))) {
        retryable = true;
        appendWindowsError("Could not create patch request", error);
        closeConnection();
        return false;
    }
    // A host that sends nothing for a stall window is cut off. (Windows also
    // bounds the whole response head with the second option; Wine 8 applies
    // both per receive only.)
    DWORD windowMs = static_cast<DWORD>(std::clamp<long long>(stallWindow_.count(), 1, 0x7FFFFFFF));
    WinHttpSetTimeouts(response.request.get(), 10000, 10000, 30000, static_cast<int>(windowMs));
    WinHttpSetOption(response.request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &windowMs, sizeof(windowMs));

    watchSecureFailures(response.request.get(), &response.secureFailures);

    std::string token;
    if (withToken) {
        std::lock_guard<std::mutex> lock(downloadTokenMutex);
        token = downloadToken;
    }
    std::wstring headers;
    if (!token.empty()) headers = L"Authorization: Bearer " + utf8ToWide(token) + L"\r\n";
    headers += extraHeaders;
    const HINTERNET request = response.request.get();
    const BOOL sent =
        headers.empty()
            ? WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)
            : WinHttpSendRequest(request, headers.c_str(), static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    if (!sent || !WinHttpReceiveResponse(request, nullptr)) {
        // A refused certificate stays refused: another attempt cannot help.
        retryable = !describeSecureFailure(GetLastError(), response.secureFailures, "patch server", error);
        if (retryable) appendWindowsError("Patch server did not respond", error);
        closeConnection();
        return false;
    }

    DWORD statusSize = sizeof(response.status);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &response.status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
        response.status = 0;
    }
    return true;
}

// Sends the request for the file and follows its redirects; true with the
// first response that is not a redirect.
bool PatchDownloader::openResponse(const std::string& relativeText, const std::wstring& extraHeaders,
                                   Response& response, std::string* error, bool& retryable) {
    RequestTarget target{secure_, host_, port_, basePath_ + L"/" + utf8ToWide(percentEncodePath(relativeText))};
    for (int redirects = 0;; ++redirects) {
        // The token is for the patch source alone: a redirect to another
        // scheme, host or port must not carry it there.
        const bool ownSource = target.secure == secure_ && target.port == port_ && sameHostName(target.host, host_);
        HINTERNET connection = connection_.get();
        if (!ownSource) {
            response.request.reset();
            response.otherHost.reset(WinHttpConnect(sessionHandle(), target.host.c_str(), target.port, 0));
            if (!response.otherHost) {
                retryable = true;
                return appendWindowsError("Could not connect to patch server", error);
            }
            connection = response.otherHost.get();
        }
        if (!sendRequest(connection, target.path, target.secure, ownSource, extraHeaders, response, error, retryable)) {
            return false;
        }
        if (!isFollowedRedirect(response.status)) {
            response.url = targetUrl(target);
            return true;
        }

        if (redirects == kMaxRedirects) {
            setError(error, "Patch server redirected " + relativeText + " more than " + std::to_string(kMaxRedirects) +
                                " times.");
            return false;
        }
        const std::optional<RequestTarget> next =
            redirectTarget(target, queryHeader(response.request.get(), WINHTTP_QUERY_LOCATION));
        if (!next) {
            setError(error, "Patch server sent an unusable redirect for " + relativeText + ".");
            return false;
        }
        // A file asked for over HTTPS is never fetched over plain HTTP.
        if (target.secure && !next->secure) {
            setError(error, "Patch server redirected " + relativeText + " from HTTPS to HTTP, which is not allowed.");
            return false;
        }
        target = *next;
    }
}

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
// where they end and spans the release file's size.
bool PatchDownloader::acceptsResumedAnswer(const Response& response, const Transfer& transfer,
                                           const DownloadLimit& limit) const {
    if (response.status != 206 || response.url != transfer.resume.url) return false;
    ContentRange range;
    if (!parseContentRange(queryHeaderText(response.request.get(), WINHTTP_QUERY_CONTENT_RANGE), range) ||
        range.first != transfer.held || range.total != limit.bytes || range.last + 1 != limit.bytes) {
        return false;
    }
    // A server that ignores If-Range would send the rest of another copy.
    const bool etag = transfer.resume.validator.starts_with("\"");
    const std::string validator =
        queryHeaderText(response.request.get(), etag ? WINHTTP_QUERY_ETAG : WINHTTP_QUERY_LAST_MODIFIED);
    return validator.empty() || validator == transfer.resume.validator;
}

bool PatchDownloader::checkStatus(const std::string& relativeText, const Response& response, const DownloadLimit& limit,
                                  std::uint64_t alreadyHeld, std::uint64_t& expected, std::string* error,
                                  bool& retryable) {
    const DWORD status = response.status;
    // 206 only ever reaches here as the accepted rest of a kept file.
    if (status != 200 && !(status == 206 && alreadyHeld > 0)) {
        if (status == 401 || status == 403) {
            setError(error, "The download server did not accept your login (HTTP " + std::to_string(status) +
                                "). Log in again and retry.");
        } else {
            setError(error, "Patch server returned HTTP " + std::to_string(status) + " for " + relativeText + ".");
        }
        retryable = status >= 500;
        return false;
    }

    expected = parseLength(queryHeaderText(response.request.get(), WINHTTP_QUERY_CONTENT_LENGTH));
    // An announced size that breaks the limit is refused before any of the
    // body is read; the unread body makes the connection unusable.
    const std::uint64_t room = limit.bytes - alreadyHeld;
    if (expected != 0 && limit.exact && expected != room) {
        setError(error, sizeMismatchText(relativeText, limit.bytes));
        retryable = true;
        closeConnection();
        return false;
    }
    if (expected > room) {
        setError(error, tooLargeText(relativeText, limit.bytes));
        closeConnection();
        return false;
    }
    return true;
}

bool PatchDownloader::receiveBody(const std::string& relativeText, const Response& response,
                                  const std::filesystem::path& destination, const DownloadLimit& limit,
                                  std::uint64_t expected, const ProgressCallback& progress, Transfer& transfer,
                                  std::string* error, bool& retryable) {
    if (!transfer.file) {
        DWORD folderError = 0;
        if (!createFolderChain(destination.parent_path(), folderError)) {
            setError(error, "Could not create download folder: " + windowsErrorMessage(folderError));
            return false;
        }
        dropSharedFile(transfer.temporary);
        transfer.file.reset(CreateFileW(transfer.temporary.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
        if (!transfer.file) {
            setError(error, "Could not create download file: " + pathToUtf8(transfer.temporary));
            return false;
        }
    }
    // A release file's transfer is kept for resuming only when the server
    // named the copy it sends, so the rest can be asked of that copy alone.
    if (transfer.resumable && !transfer.recorded) {
        const std::string validator =
            resumeValidator(queryHeaderText(response.request.get(), WINHTTP_QUERY_ETAG),
                            queryHeaderText(response.request.get(), WINHTTP_QUERY_LAST_MODIFIED));
        transfer.resume = {response.url, validator};
        transfer.recorded = !validator.empty() && writeResumeRecord(transfer.record, transfer.resume);
    }

    // A broken transfer's bytes stay only when they can be resumed; its
    // connection is not reused.
    auto abandonTransfer = [&](bool again, bool keepable = true) {
        transfer.file.reset();
        if (!(again && keepable && transfer.recorded)) {
            removeFile(transfer.temporary);
            removeFile(transfer.record);
        }
        closeConnection();
        retryable = again;
        return false;
    };

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
    std::uint64_t received = 0;
    bool tooLong = false;
    if (!readWholeBody(response.request.get(), limit.bytes - held, keep, received, error, &tooLong)) {
        if (writeFailed) {
            transfer.file.reset();
            removeFile(transfer.temporary);
            removeFile(transfer.record);
            setError(error, "Could not write downloaded patch file.");
            return false;
        }
        if (tooLong) {
            setError(error, limit.exact ? sizeMismatchText(relativeText, limit.bytes)
                                        : tooLargeText(relativeText, limit.bytes));
            // A longer body is another copy than the release's: nothing to resume.
            return abandonTransfer(limit.exact, false);
        }
        return abandonTransfer(true);
    }

    transfer.file.reset();
    if (expected != 0 && expected != received) {
        setError(error, "Patch download size did not match the server response.");
        return abandonTransfer(true);
    }
    if (limit.exact && held + received != limit.bytes) {
        setError(error, sizeMismatchText(relativeText, limit.bytes));
        return abandonTransfer(true);
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
            setError(error, mismatchText(relativeText));
            return false;
        }
    }

    // Replacing in one move (never deleting first) keeps the previous copy
    // when the move fails.
    transfer.complete = true;
    if (!MoveFileExW(transfer.temporary.c_str(), destination.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        const DWORD code = GetLastError();
        setError(error, "Could not finalize downloaded file: " + windowsErrorMessage(code));
        return false;
    }
    removeFile(transfer.record);

    if (progress) progress(1.0f);
    if (error != nullptr) error->clear();
    return true;
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
        setError(error, "Patch source is not an HTTP URL.");
        return false;
    }
    PatchDownloader downloader(baseUrl);
    return downloadWithRetries(downloader, relativePath, destination, limit, progress, error);
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
            setError(error, "Patch server sent more than " + sizeText(limit) + ".");
            return false;
        }
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
            setError(error, "Patch download stalled: less than 1 KiB arrived in " + durationText(stallWindow_) + ".");
            return false;
        }
    }
}

bool PatchDownloader::fetchSmallFile(const std::filesystem::path& relativePath, std::uint64_t limit,
                                     std::vector<std::uint8_t>& body, DWORD& status, std::string* error) {
    status = 0;
    body.clear();
    bool retryable = false;
    if (!connect(error)) return false;
    const std::string relativeText = genericPathUtf8(relativePath);
    Response response;
    if (!openResponse(relativeText, {}, response, error, retryable)) return false;
    status = response.status;
    if (status != 200) {
        // An unread error body would be taken for the next answer.
        closeConnection();
        setError(error, "Patch server returned HTTP " + std::to_string(status) + " for " + relativeText + ".");
        return false;
    }
    std::uint64_t received = 0;
    return readWholeBody(
        response.request.get(), limit,
        [&](const std::uint8_t* data, std::size_t size) {
            body.insert(body.end(), data, data + size);
            return true;
        },
        received, error);
}

bool PatchDownloader::fetchRange(const std::filesystem::path& relativePath, std::uint64_t first, std::uint64_t last,
                                 std::uint64_t total, const std::function<bool(const std::uint8_t*, std::size_t)>& sink,
                                 bool& ignoresRanges, std::string* error) {
    ignoresRanges = false;
    bool retryable = false;
    if (!connect(error)) return false;
    const std::string relativeText = genericPathUtf8(relativePath);
    const std::wstring headers = L"Range: bytes=" + std::to_wstring(first) + L"-" + std::to_wstring(last) + L"\r\n";
    Response response;
    if (!openResponse(relativeText, headers, response, error, retryable)) return false;
    ContentRange range;
    if (response.status != 206 ||
        !parseContentRange(queryHeaderText(response.request.get(), WINHTTP_QUERY_CONTENT_RANGE), range) ||
        range.first != first || range.last != last || range.total != total) {
        ignoresRanges = response.status == 200;
        closeConnection();
        setError(error, "Patch server did not send the range asked for of " + relativeText + " (HTTP " +
                            std::to_string(response.status) + ").");
        return false;
    }
    const std::uint64_t wanted = last - first + 1;
    std::uint64_t received = 0;
    if (!readWholeBody(response.request.get(), wanted, sink, received, error)) return false;
    if (received != wanted) {
        closeConnection();
        setError(error, "Patch server sent a short range of " + relativeText + ".");
        return false;
    }
    return true;
}
