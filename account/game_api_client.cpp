#include "account/game_api_client.h"

#include "update/utf8_paths.h"

#include <nlohmann/json.hpp>
#include <windows.h>
#include <winhttp.h>

#include <limits>

namespace {

class WinHttpHandle {
public:
    explicit WinHttpHandle(HINTERNET handle = nullptr) : handle_(handle) {}
    ~WinHttpHandle() {
        if (handle_ != nullptr) WinHttpCloseHandle(handle_);
    }
    WinHttpHandle(const WinHttpHandle&) = delete;
    WinHttpHandle& operator=(const WinHttpHandle&) = delete;
    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    HINTERNET handle_;
};

bool fail(std::string* error, const char* text) {
    if (error != nullptr) *error = text;
    return false;
}

// The refusal text for a non-2xx answer: the service's own "message" when the
// body is an object carrying a string one.
std::string refusalText(const std::string& body, DWORD status) {
    try {
        const nlohmann::json answer = nlohmann::json::parse(body, nullptr, false);
        if (answer.is_object()) {
            const auto message = answer.find("message");
            if (message != answer.end() && message->is_string()) return message->get<std::string>();
        }
    } catch (...) {
        // Only an allocation failure gets here; fall back to the status text.
    }
    return "The server refused the request (HTTP " + std::to_string(status) + ").";
}

}  // namespace

bool GameApiClient::postJson(const std::string& serverUrl, const std::string& path,
                             const std::string& sessionToken, const std::string& body,
                             std::string& response, std::string* error) {
    try {
        const std::wstring url = utf8ToWide(serverUrl + path);

        URL_COMPONENTS parts{};
        parts.dwStructSize = sizeof(parts);
        parts.dwSchemeLength = static_cast<DWORD>(-1);
        parts.dwHostNameLength = static_cast<DWORD>(-1);
        parts.dwUrlPathLength = static_cast<DWORD>(-1);
        parts.dwExtraInfoLength = static_cast<DWORD>(-1);
        if (url.empty() || !WinHttpCrackUrl(url.c_str(), 0, 0, &parts) || parts.lpszHostName == nullptr ||
            parts.dwHostNameLength == 0) {
            return fail(error, "The game server address is not valid.");
        }
        const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
        std::wstring requestPath;
        if (parts.lpszUrlPath != nullptr) requestPath.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
        if (parts.lpszExtraInfo != nullptr) requestPath.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
        const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

        // Declared in opening order so they close request, connection, session.
        WinHttpHandle session(WinHttpOpen(L"TinderhallowLauncher/1", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session) return fail(error, "Could not start the network client.");
        WinHttpSetTimeouts(session.get(), 10000, 10000, 15000, 15000);

        WinHttpHandle connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
        if (!connection) return fail(error, "Could not reach the game server.");

        WinHttpHandle request(WinHttpOpenRequest(connection.get(), L"POST", requestPath.c_str(), nullptr,
                                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                 secure ? WINHTTP_FLAG_SECURE : 0));
        if (!request) return fail(error, "Could not prepare the request.");

        std::wstring headers = L"Accept: application/json\r\nContent-Type: application/json\r\nOrigin: " +
                               utf8ToWide(serverUrl) + L"\r\n";
        if (!sessionToken.empty()) headers += L"X-Morvanth-Session: " + utf8ToWide(sessionToken) + L"\r\n";

        if (body.size() > std::numeric_limits<DWORD>::max()) {
            return fail(error, "Could not reach the game server. Check your internet connection.");
        }
        const DWORD bodyLength = static_cast<DWORD>(body.size());
        LPVOID bodyData = body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data());
        if (!WinHttpSendRequest(request.get(), headers.c_str(), static_cast<DWORD>(-1), bodyData, bodyLength,
                                bodyLength, 0) ||
            !WinHttpReceiveResponse(request.get(), nullptr)) {
            return fail(error, "Could not reach the game server. Check your internet connection.");
        }

        DWORD status = 0;
        DWORD statusSize = sizeof(status);
        if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
            status = 0;
        }

        response.clear();
        for (;;) {
            DWORD available = 0;
            if (!WinHttpQueryDataAvailable(request.get(), &available) || available == 0) break;
            if (available > kMaxGameApiAnswerBytes - response.size()) {
                // Stop here: an answer this long is not one of the service's.
                response.clear();
                response.shrink_to_fit();
                return fail(error, "The server answer was not understood.");
            }
            const std::size_t before = response.size();
            response.resize(before + available);
            DWORD read = 0;
            const bool ok = WinHttpReadData(request.get(), response.data() + before, available, &read);
            response.resize(before + (ok ? read : 0));
            if (!ok) break;
        }

        if (status >= 200 && status <= 299) return true;
        if (error != nullptr) *error = refusalText(response, status);
        return false;
    } catch (...) {
        // Allocation failures only; the caller sees an ordinary failure.
        return fail(error, "Could not reach the game server. Check your internet connection.");
    }
}
