#include "base/fail.h"
#include "base/proxy_settings.h"
#include "base/version.h"
#include "base/secure_failure.h"
#include "base/windows_error.h"
#include "delivery/download_headers.h"
#include "delivery/download_transfer.h"
#include "delivery/download_url.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>

namespace {

// The process-wide sessions, one per proxy route: opened on first use,
// closed at exit.
std::mutex downloadSessionsMutex;
std::map<std::pair<std::wstring, std::wstring>, WinHttpHandle> downloadSessions;

std::mutex downloadTokenMutex;
std::string downloadToken;

// The session for connections to `host`, through the proxy the user's
// settings give for it.
HINTERNET sessionFor(bool secure, const std::wstring& host, INTERNET_PORT port) {
    const std::wstring name = host.find(L':') == std::wstring::npos ? host : L"[" + host + L"]";
    const ProxyRoute route =
        proxyRouteFor((secure ? L"https://" : L"http://") + name + L":" + std::to_wstring(port) + L"/");
    std::lock_guard<std::mutex> lock(downloadSessionsMutex);
    WinHttpHandle& session = downloadSessions[{route.proxy, route.bypass}];
    if (!session) {
        session.reset(openSessionFor(route, L"" TINDERHALLOW_USER_AGENT));
        if (session) WinHttpSetTimeouts(session.get(), 10000, 10000, 30000, 30000);
    }
    return session.get();
}

}  // namespace

void setDownloadToken(const std::string& token) {
    std::lock_guard<std::mutex> lock(downloadTokenMutex);
    downloadToken = token;
}

bool PatchDownloader::connect(std::string* error) {
    if (connection_) return true;
    if (!sourceUsable(error)) return false;
    if (host_.empty()) {
        return fail(error, "Could not parse patch URL.");
    }
    HINTERNET session = sessionFor(secure_, host_, port_);
    if (session == nullptr) return appendWindowsError("Could not initialize patch download", error);
    closeConnection();
    connection_.reset(WinHttpConnect(session, host_.c_str(), port_, 0));
    if (!connection_) return appendWindowsError("Could not connect to patch server", error);
    return true;
}

bool PatchDownloader::sourceUsable(std::string* error) const {
    // The relative path is appended to the base URL's path: after a query or
    // fragment it would be sent as part of those, not as a path.
    if (baseUrl_.find_first_of("?#") == std::string::npos) return true;
    return fail(error, "Patch source is not usable: its URL contains \"?\" or \"#\".");
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
    response.tokenSent = !token.empty();
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
    response.requestUrl = targetUrl(target);
    for (int redirects = 0;; ++redirects) {
        // The token is for the patch source alone: a redirect to another
        // scheme, host or port must not carry it there.
        const bool ownSource = target.secure == secure_ && target.port == port_ && sameHostName(target.host, host_);
        HINTERNET connection = connection_.get();
        if (!ownSource) {
            response.request.reset();
            HINTERNET session = sessionFor(target.secure, target.host, target.port);
            response.otherHost.reset(session != nullptr ? WinHttpConnect(session, target.host.c_str(), target.port, 0)
                                                        : nullptr);
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
            return fail(error, "Patch server redirected " + relativeText + " more than " +
                                   std::to_string(kMaxRedirects) + " times.");
        }
        const std::optional<RequestTarget> next =
            redirectTarget(target, queryHeader(response.request.get(), WINHTTP_QUERY_LOCATION));
        if (!next) {
            return fail(error, "Patch server sent an unusable redirect for " + relativeText + ".");
        }
        // A file asked for over HTTPS is never fetched over plain HTTP.
        if (target.secure && !next->secure) {
            return fail(error,
                        "Patch server redirected " + relativeText + " from HTTPS to HTTP, which is not allowed.");
        }
        target = *next;
        response.hops += " > " + wideToUtf8(target.host);
    }
}
