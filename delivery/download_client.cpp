#include "delivery/download_client.h"

#include "base/secure_failure.h"
#include "base/windows_error.h"

#include <algorithm>
#include <deque>
#include <fstream>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

namespace {

constexpr DWORD kChunkBytes = 131072;

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
// a redirect led.
struct RequestTarget {
    bool secure = false;
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring path;  // path and query, exactly as sent
};

wchar_t asciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool sameHostName(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
               return asciiLower(x) == asciiLower(y);
           });
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
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return std::nullopt;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return std::nullopt;
    RequestTarget target;
    target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    if (parts.lpszHostName != nullptr) target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    if (target.host.empty()) return std::nullopt;
    target.port = parts.nPort;
    if (parts.lpszUrlPath != nullptr) target.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo != nullptr) target.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (target.path.empty() || target.path[0] != L'/') target.path.insert(0, L"/");
    target.path = withoutDotSegments(target.path);
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

std::wstring locationHeader(HINTERNET request) {
    DWORD size = 0;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                        &size, WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return {};
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_LOCATION, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
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

// Content-Length as a number; 0 ("unknown") for anything that is not a
// plain decimal number that fits.
std::uint64_t parseLength(const wchar_t* text) {
    std::uint64_t value = 0;
    bool digits = false;
    for (; *text == L' '; ++text) {
    }
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        const std::uint64_t digit = static_cast<std::uint64_t>(*text - L'0');
        if (value > (UINT64_MAX - digit) / 10) return 0;
        value = value * 10 + digit;
        digits = true;
    }
    for (; *text == L' '; ++text) {
    }
    return (digits && *text == L'\0') ? value : 0;
}

void removeFile(const std::filesystem::path& path) { DeleteFileW(path.c_str()); }

}  // namespace

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
        const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
                           byte == '-' || byte == '.' || byte == '/' || byte == '_' || byte == '~';
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
    const std::wstring url = utf8ToWide(baseUrl_ + "/");

    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    if (url.empty() || !WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return;

    if (parts.lpszHostName != nullptr) host_.assign(parts.lpszHostName, parts.dwHostNameLength);
    if (parts.lpszUrlPath != nullptr) basePath_.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    while (!basePath_.empty() && basePath_.back() == L'/') basePath_.pop_back();
    port_ = parts.nPort;
    secure_ = parts.nScheme == INTERNET_SCHEME_HTTPS;
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
};

bool PatchDownloader::sourceUsable(std::string* error) const {
    // The relative path is appended to the base URL's path: after a query or
    // fragment it would be sent as part of those, not as a path.
    if (baseUrl_.find_first_of("?#") == std::string::npos) return true;
    setError(error, "Patch source is not usable: its URL contains \"?\" or \"#\".");
    return false;
}

// One GET, up to the response head and its status.
bool PatchDownloader::sendRequest(HINTERNET connection, const std::wstring& path, bool secure, bool withToken,
                                  Response& response, std::string* error, bool& retryable) {
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
    const HINTERNET request = response.request.get();
    const BOOL sent = headers.empty() ? WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                                           WINHTTP_NO_REQUEST_DATA, 0, 0, 0)
                                      : WinHttpSendRequest(request, headers.c_str(), static_cast<DWORD>(-1),
                                                           WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
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
bool PatchDownloader::openResponse(const std::string& relativeText, Response& response, std::string* error,
                                   bool& retryable) {
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
        if (!sendRequest(connection, target.path, target.secure, ownSource, response, error, retryable)) return false;
        if (!isFollowedRedirect(response.status)) return true;

        if (redirects == kMaxRedirects) {
            setError(error, "Patch server redirected " + relativeText + " more than " +
                                std::to_string(kMaxRedirects) + " times.");
            return false;
        }
        const std::optional<RequestTarget> next = redirectTarget(target, locationHeader(response.request.get()));
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

bool PatchDownloader::checkStatus(const std::string& relativeText, const Response& response, DownloadLimit limit,
                                  std::uint64_t& expected, std::string* error, bool& retryable) {
    const DWORD status = response.status;
    if (status != 200) {
        if (status == 401 || status == 403) {
            setError(error, "The download server did not accept your login (HTTP " + std::to_string(status) +
                                "). Log in again and retry.");
        } else {
            setError(error, "Patch server returned HTTP " + std::to_string(status) + " for " + relativeText + ".");
        }
        retryable = status >= 500;
        return false;
    }

    wchar_t lengthText[64] = {};
    DWORD lengthSize = sizeof(lengthText);
    expected = 0;
    if (WinHttpQueryHeaders(response.request.get(), WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                            lengthText, &lengthSize, WINHTTP_NO_HEADER_INDEX)) {
        lengthText[63] = L'\0';
        expected = parseLength(lengthText);
    }
    // An announced size that breaks the limit is refused before any of the
    // body is read; the unread body makes the connection unusable.
    if (expected != 0 && limit.exact && expected != limit.bytes) {
        setError(error, sizeMismatchText(relativeText, limit.bytes));
        retryable = true;
        closeConnection();
        return false;
    }
    if (expected > limit.bytes) {
        setError(error, tooLargeText(relativeText, limit.bytes));
        closeConnection();
        return false;
    }
    return true;
}

bool PatchDownloader::receiveBody(const std::string& relativeText, const Response& response,
                                  const std::filesystem::path& destination, DownloadLimit limit,
                                  std::uint64_t expected, const ProgressCallback& progress, std::string* error,
                                  bool& retryable) {
    DWORD folderError = 0;
    if (!createFolderChain(destination.parent_path(), folderError)) {
        setError(error, "Could not create download folder: " + windowsErrorMessage(folderError));
        return false;
    }

    const std::filesystem::path temporary = destination.native() + L".download";
    // Some WinHTTP builds (Wine's) hand out the body 8 KiB at a time; a
    // chunk-sized stream buffer keeps the file writes at 128 KiB anyway.
    std::vector<char> fileBuffer(kChunkBytes);
    std::ofstream file;
    file.rdbuf()->pubsetbuf(fileBuffer.data(), static_cast<std::streamsize>(fileBuffer.size()));
    file.open(temporary, std::ios::binary | std::ios::trunc);
    if (!file) {
        setError(error, "Could not create download file: " + pathToUtf8(temporary));
        return false;
    }

    // A broken transfer leaves no partial file, and its connection is not reused.
    auto abandonTransfer = [&](bool again) {
        file.close();
        removeFile(temporary);
        closeConnection();
        retryable = again;
        return false;
    };

    std::vector<char> buffer(kChunkBytes);
    std::uint64_t received = 0;
    StallWatch stallWatch(stallWindow_);
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(response.request.get(), &available)) {
            appendWindowsError("Patch download interrupted", error);
            return abandonTransfer(true);
        }
        if (available == 0) break;
        while (available > 0) {
            // One byte past the limit is enough to know the body is too long;
            // it is never written.
            const std::uint64_t allowance = limit.bytes - received;
            DWORD wanted = std::min(available, kChunkBytes);
            if (allowance < wanted) wanted = static_cast<DWORD>(allowance + 1);
            DWORD read = 0;
            if (!WinHttpReadData(response.request.get(), buffer.data(), wanted, &read) || read == 0) {
                appendWindowsError("Patch download read failed", error);
                return abandonTransfer(true);
            }
            if (read > allowance) {
                setError(error, limit.exact ? sizeMismatchText(relativeText, limit.bytes)
                                            : tooLargeText(relativeText, limit.bytes));
                return abandonTransfer(limit.exact);
            }
            if (!file.write(buffer.data(), read)) {
                file.close();
                removeFile(temporary);
                setError(error, "Could not write downloaded patch file.");
                return false;
            }
            received += read;
            available -= std::min(available, read);
            if (progress && expected != 0) {
                progress(std::min(static_cast<float>(received) / static_cast<float>(expected), 1.0f));
            }
            // WinHTTP's receive timeout only catches a host that sends
            // nothing at all; one that trickles is caught here.
            if (!stallWatch.keepsUp(received)) {
                setError(error, "Patch download stalled: less than 1 KiB arrived in " + durationText(stallWindow_) +
                                    ".");
                return abandonTransfer(true);
            }
        }
    }

    // Buffered bytes reach the disk only here, so a failing close is a
    // failed write too.
    file.close();
    if (file.fail()) {
        removeFile(temporary);
        setError(error, "Could not write downloaded patch file.");
        return false;
    }
    if (expected != 0 && expected != received) {
        setError(error, "Patch download size did not match the server response.");
        return abandonTransfer(true);
    }
    if (limit.exact && received != limit.bytes) {
        setError(error, sizeMismatchText(relativeText, limit.bytes));
        return abandonTransfer(true);
    }

    // Replacing in one move (never deleting first) keeps the previous copy
    // when the move fails.
    if (!MoveFileExW(temporary.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        const DWORD code = GetLastError();
        setError(error, "Could not finalize downloaded file: " + windowsErrorMessage(code));
        return false;
    }

    if (progress) progress(1.0f);
    if (error != nullptr) error->clear();
    return true;
}

bool PatchDownloader::downloadOnce(const std::filesystem::path& relativePath, const std::filesystem::path& destination,
                                   DownloadLimit limit, const ProgressCallback& progress, std::string* error,
                                   bool& retryable) {
    retryable = false;
    if (!sourceUsable(error)) return false;
    if (!connect(error)) {
        retryable = true;
        return false;
    }
    const std::string relativeText = genericPathUtf8(relativePath);
    Response response;
    std::uint64_t expected = 0;
    return openResponse(relativeText, response, error, retryable) &&
           checkStatus(relativeText, response, limit, expected, error, retryable) &&
           receiveBody(relativeText, response, destination, limit, expected, progress, error, retryable);
}

bool downloadWithRetries(PatchDownloader& downloader, const std::filesystem::path& relativePath,
                         const std::filesystem::path& destination, DownloadLimit limit,
                         const ProgressCallback& progress, std::string* error) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        bool retryable = false;
        if (downloader.downloadOnce(relativePath, destination, limit, progress, error, retryable)) return true;
        if (!retryable) return false;
        Sleep(static_cast<DWORD>(250 * (attempt + 1)));
    }
    return false;
}

bool downloadPatchFile(const std::string& baseUrl, const std::filesystem::path& relativePath,
                       const std::filesystem::path& destination, DownloadLimit limit,
                       const ProgressCallback& progress, std::string* error) {
    if (!isHttpUrl(baseUrl)) {
        setError(error, "Patch source is not an HTTP URL.");
        return false;
    }
    PatchDownloader downloader(baseUrl);
    return downloadWithRetries(downloader, relativePath, destination, limit, progress, error);
}
