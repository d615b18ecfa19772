#include "account/session.h"

#include "account/game_api_client.h"
#include "base/fail.h"
#include "base/secret_text.h"

#include <nlohmann/json.hpp>
#include <windows.h>

namespace {

using nlohmann::json;

constexpr const char* kNotUnderstood = "The server answer was not understood.";
// The service's words for a session it no longer accepts: it gives no other
// sign, and every other refusal leaves the session standing.
constexpr const char* kExpiredSessionWords = "invalid or expired";

// Longest session or download token taken from the service.
constexpr std::size_t kMaxTokenBytes = 4096;

// Tokens go back out as header values: a control character (a line break
// above all) would let the service add header lines of its own choosing.
bool isUsableToken(const std::string& token) {
    if (token.size() > kMaxTokenBytes) return false;
    for (std::size_t i = 0; i < token.size(); ++i) {
        const auto byte = static_cast<unsigned char>(token[i]);
        if (byte < 0x20 || byte == 0x7F) return false;
        // U+0080..U+009F, the second set of control characters, in UTF-8.
        if (byte == 0xC2 && i + 1 < token.size() && static_cast<unsigned char>(token[i + 1]) <= 0x9F) return false;
    }
    return true;
}

// The answer as an object whose "ok" is the boolean true, else discarded.
json acceptedAnswer(const std::string& response) {
    json answer = json::parse(response, nullptr, false);
    if (!answer.is_object()) return json(json::value_t::discarded);
    const auto ok = answer.find("ok");
    if (ok == answer.end() || !ok->is_boolean() || !ok->get<bool>()) return json(json::value_t::discarded);
    return answer;
}

// Both service calls made with a session: the body is always "{}".
bool postWithSession(const std::string& serverUrl, const char* path, const std::string& sessionToken, json& answer,
                     std::string* error) {
    std::string response;
    if (!GameApiClient::postJson(serverUrl, path, sessionToken, "{}", response, error)) return false;
    answer = acceptedAnswer(response);
    if (answer.is_discarded()) return fail(error, kNotUnderstood);
    return true;
}

}  // namespace

bool login(const std::string& serverUrl, const std::string& accountName, const std::string& password,
           AccountSession& session, std::string* error) {
    try {
        if (serverUrl.empty()) return fail(error, "No game server address is set (server_url.txt).");

        // The object keeps its keys sorted, so the body reads
        // {"password":…,"username":…}; bytes that are not UTF-8 become U+FFFD.
        std::string body;
        {
            json request = json::object();
            request["username"] = accountName;
            request["password"] = password;
            body = request.dump(-1, ' ', false, json::error_handler_t::replace);
            wipeSecret(request["password"].get_ref<std::string&>());
        }

        std::string response;
        const bool sent = GameApiClient::postJson(serverUrl, kLoginPath, {}, body, response, error);
        wipeSecret(body);
        if (!sent) return false;

        const json answer = acceptedAnswer(response);
        if (answer.is_discarded()) return fail(error, kNotUnderstood);
        const auto token = answer.find("sessionToken");
        if (token == answer.end() || !token->is_string() || !isUsableToken(token->get_ref<const std::string&>())) {
            return fail(error, kNotUnderstood);
        }

        std::string name = accountName;
        const auto account = answer.find("account");
        if (account != answer.end() && account->is_object()) {
            const auto username = account->find("username");
            if (username != account->end()) {
                if (!username->is_string()) return fail(error, kNotUnderstood);
                name = username->get<std::string>();
            }
        }

        session.sessionToken = token->get<std::string>();
        session.accountName = std::move(name);
        return true;
    } catch (...) {
        return fail(error, kNotUnderstood);
    }
}

bool requestTicket(const std::string& serverUrl, const std::string& sessionToken, std::string& ticket,
                   std::string* error, SessionRefusal* refusal) {
    if (refusal != nullptr) *refusal = SessionRefusal::Other;
    try {
        std::string ownText;
        std::string* text = error != nullptr ? error : &ownText;
        json answer;
        if (!postWithSession(serverUrl, kTicketPath, sessionToken, answer, text)) {
            if (refusal != nullptr && text->find(kExpiredSessionWords) != std::string::npos)
                *refusal = SessionRefusal::Expired;
            return false;
        }
        const auto value = answer.find("ticket");
        if (value == answer.end() || !value->is_string()) return fail(error, kNotUnderstood);
        // The game's command line would end at a NUL and hand the game a shortened ticket.
        if (value->get_ref<const std::string&>().find('\0') != std::string::npos) return fail(error, kNotUnderstood);
        ticket = value->get<std::string>();
        return true;
    } catch (...) {
        return fail(error, kNotUnderstood);
    }
}

bool requestDownloadToken(const std::string& serverUrl, const std::string& sessionToken, std::string& token, bool& gate,
                          std::string* error) {
    std::int32_t currentRelease = 0;
    return requestDownloadToken(serverUrl, sessionToken, token, gate, currentRelease, error);
}

bool requestDownloadToken(const std::string& serverUrl, const std::string& sessionToken, std::string& token, bool& gate,
                          std::int32_t& currentRelease, std::string* error) {
    try {
        json answer;
        if (!postWithSession(serverUrl, kDownloadTokenPath, sessionToken, answer, error)) return false;
        bool gated = false;
        const auto gateValue = answer.find("gate");
        if (gateValue != answer.end()) {
            if (!gateValue->is_boolean()) return fail(error, kNotUnderstood);
            gated = gateValue->get<bool>();
        }

        std::string value;
        const auto tokenValue = answer.find("token");
        if (gated && tokenValue != answer.end() && tokenValue->is_string()) value = tokenValue->get<std::string>();
        if (!isUsableToken(value)) return fail(error, kNotUnderstood);
        gate = gated;
        token = std::move(value);
        currentRelease = 0;
        const auto sequence = answer.find("releaseSequence");
        if (sequence != answer.end() && sequence->is_number_integer() && *sequence >= 1 && *sequence <= INT32_MAX)
            currentRelease = sequence->get<std::int32_t>();
        return true;
    } catch (...) {
        return fail(error, kNotUnderstood);
    }
}
