#include "account/game_api_client.h"

#include "base/diagnostic_log.h"
#include "base/fail.h"
#include "base/handles.h"
#include "base/http_url.h"
#include "base/proxy_settings.h"
#include "base/secret_text.h"
#include "base/secure_failure.h"
#include "base/utf8_paths.h"
#include "base/version.h"

#include <nlohmann/json.hpp>
#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUnreachable = "Could not reach the game server. Check your internet connection.";

std::atomic<long long> timeLimitMs{kGameApiTimeLimit.count()};

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

// One call's exchange with the service. It runs on a thread of its own so that
// the caller can give up at the time limit: under Wine nothing ends a
// synchronous WinHTTP call whose answer trickles in (not closing its handles
// from another thread, not a time-out set meanwhile, not
// WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT). Everything the exchange uses lives
// here, since it may outlast the caller.
struct Exchange {
    std::wstring url;
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring path;
    bool secure = false;
    std::wstring headers;
    std::string body;
    std::string logUrl;  // without its query; the body and headers are never logged
    Clock::time_point deadline;
    DWORD status = 0;

    std::mutex mutex;  // guards the outcome below
    std::condition_variable finishedSignal;
    bool finished = false;
    bool succeeded = false;
    bool answered = false;  // `response` holds what the service answered
    std::string response;
    std::string error;
};

// Steps of one exchange; true only for a 2xx answer. `answered` tells whether
// `response` is to reach the caller.
bool exchangeWithService(Exchange& exchange, std::string& response, bool& answered, std::string& error) {
    WinHttpHandle session(openSessionFor(proxyRouteFor(exchange.url), L"" TINDERHALLOW_USER_AGENT));
    if (!session) return fail(&error, "Could not start the network client.");
    WinHttpSetTimeouts(session.get(), 10000, 10000, 15000, 15000);
    // A followed redirect would carry the password or the session header to whatever host it names.
    DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    if (!WinHttpSetOption(session.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof(redirects))) {
        return fail(&error, "Could not start the network client.");
    }

    WinHttpHandle connection(WinHttpConnect(session.get(), exchange.host.c_str(), exchange.port, 0));
    if (!connection) return fail(&error, "Could not reach the game server.");

    DWORD secureFailures = 0;  // outlives the request, whose callback writes it
    WinHttpHandle request(WinHttpOpenRequest(connection.get(), L"POST", exchange.path.c_str(), nullptr,
                                             WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                             exchange.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) return fail(&error, "Could not prepare the request.");
    watchSecureFailures(request.get(), &secureFailures);

    if (exchange.body.size() > std::numeric_limits<DWORD>::max()) return fail(&error, kUnreachable);
    const DWORD bodyLength = static_cast<DWORD>(exchange.body.size());
    LPVOID bodyData = exchange.body.empty() ? WINHTTP_NO_REQUEST_DATA : exchange.body.data();
    const bool sent = WinHttpSendRequest(request.get(), exchange.headers.c_str(), static_cast<DWORD>(-1), bodyData,
                                         bodyLength, bodyLength, 0);
    wipeSecret(exchange.body);  // the login's password is not needed any more
    if (!sent || !WinHttpReceiveResponse(request.get(), nullptr)) {
        if (describeSecureFailure(GetLastError(), secureFailures, "game server", &error)) return false;
        return fail(&error, kUnreachable);
    }

    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX)) {
        status = 0;
    }
    exchange.status = status;

    answered = true;
    for (;;) {
        // Each read returns as soon as a byte arrives, so a trickled body is
        // ended here rather than by the receive time-out.
        if (Clock::now() >= exchange.deadline) {
            answered = false;
            return fail(&error, kUnreachable);
        }
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request.get(), &available) || available == 0) break;
        if (available > kMaxGameApiAnswerBytes - response.size()) {
            // Stop here: an answer this long is not one of the service's.
            response.clear();
            response.shrink_to_fit();
            return fail(&error, "The server answer was not understood.");
        }
        const std::size_t before = response.size();
        response.resize(before + available);
        DWORD read = 0;
        const bool ok = WinHttpReadData(request.get(), response.data() + before, available, &read);
        response.resize(before + (ok ? read : 0));
        if (!ok) break;
    }

    if (status >= 200 && status <= 299) return true;
    if (status >= 300 && status <= 399) {
        error = "The game server redirected the request (HTTP " + std::to_string(status) +
                "); check the address in server_url.txt.";
        return false;
    }
    error = refusalText(response, status);
    return false;
}

void runExchange(std::shared_ptr<Exchange> exchange) noexcept {
    bool succeeded = false;
    bool answered = false;
    std::string response;
    std::string error;
    const Clock::time_point started = Clock::now();
    try {
        succeeded = exchangeWithService(*exchange, response, answered, error);
    } catch (...) {
        succeeded = false;
        answered = false;
        error = kUnreachable;
    }
    wipeSecret(exchange->body);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    logEvent(succeeded ? LogLevel::Info : LogLevel::Warning, "http",
             "POST " + exchange->logUrl + ": " +
                 (exchange->status != 0 ? "HTTP " + std::to_string(exchange->status) : std::string("no answer")) +
                 ", " + std::to_string(response.size()) + " bytes, " + std::to_string(took) + " ms" +
                 (succeeded ? "." : "; " + error));
    try {
        std::lock_guard<std::mutex> lock(exchange->mutex);
        exchange->finished = true;
        exchange->succeeded = succeeded;
        exchange->answered = answered;
        exchange->response = std::move(response);
        exchange->error = std::move(error);
    } catch (...) {
        // A moved string does not throw; only a broken mutex gets here.
    }
    exchange->finishedSignal.notify_all();
}

}  // namespace

void setGameApiTimeLimitForTests(std::chrono::milliseconds limit) { timeLimitMs = limit.count(); }

bool GameApiClient::postJson(const std::string& serverUrl, const std::string& path, const std::string& sessionToken,
                             const std::string& body, std::string& response, std::string* error) {
    try {
        const std::wstring url = utf8ToWide(serverUrl + path);

        const std::optional<HttpUrlParts> parts = crackHttpUrl(url);
        if (!parts) return fail(error, "The game server address is not valid.");

        const auto exchange = std::make_shared<Exchange>();
        exchange->url = url;
        exchange->host = parts->host;
        exchange->port = parts->port;
        exchange->path = parts->path;
        exchange->secure = parts->secure;
        exchange->headers =
            L"Accept: application/json\r\nContent-Type: application/json\r\nOrigin: " + utf8ToWide(serverUrl) + L"\r\n";
        if (!sessionToken.empty()) exchange->headers += L"X-Morvanth-Session: " + utf8ToWide(sessionToken) + L"\r\n";
        exchange->body = body;
        exchange->logUrl = urlWithoutQuery(serverUrl + path);
        exchange->deadline = Clock::now() + std::chrono::milliseconds(timeLimitMs.load());

        try {
            std::thread(runExchange, exchange).detach();
        } catch (...) {
            wipeSecret(exchange->body);
            return fail(error, kUnreachable);
        }

        // Past the deadline the exchange is left to end by itself; it no longer
        // touches anything of the caller's.
        std::unique_lock<std::mutex> lock(exchange->mutex);
        if (!exchange->finishedSignal.wait_until(lock, exchange->deadline, [&] { return exchange->finished; })) {
            logWarning("http", "POST " + exchange->logUrl + ": no answer within " + std::to_string(timeLimitMs.load()) +
                                   " ms; given up.");
            return fail(error, kUnreachable);
        }
        if (exchange->answered) response = std::move(exchange->response);
        if (exchange->succeeded) return true;
        if (error != nullptr) *error = std::move(exchange->error);
        return false;
    } catch (...) {
        // Allocation failures only; the caller sees an ordinary failure.
        return fail(error, kUnreachable);
    }
}
