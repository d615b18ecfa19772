#pragma once
// Login, launch ticket and download token against the game service.

#include <cstdint>
#include <string>

inline constexpr const char* kLoginPath = "/api/games/morvanth/v1/session/login";
inline constexpr const char* kTicketPath = "/api/games/morvanth/v1/session/ticket";
inline constexpr const char* kDownloadTokenPath = "/api/games/morvanth/v1/session/download-token";

struct AccountSession {
    std::string sessionToken;
    std::string accountName;
};

// On failure `session` is untouched and `error` holds the client's text or
// "The server answer was not understood." (also for a session token with a
// control character or longer than 4096 bytes).
[[nodiscard]] bool login(const std::string& serverUrl, const std::string& accountName, const std::string& password,
                         AccountSession& session, std::string* error = nullptr);

// Why a call made with a session failed.
enum class SessionRefusal {
    // The network, the service or its answer failed; the session may still hold.
    Other,
    // The service no longer accepts the session: the player must log in again.
    Expired,
};

// A ticket holding a NUL character fails as not understood. `refusal` (when
// given) is Expired only when the service refused the session itself.
[[nodiscard]] bool requestTicket(const std::string& serverUrl, const std::string& sessionToken, std::string& ticket,
                                 std::string* error = nullptr, SessionRefusal* refusal = nullptr);

// Succeeds for every accepted answer, with an empty token unless the answer
// has "gate" true and a string "token"; a token with a control character or
// longer than 4096 bytes fails as not understood, leaving `token` and `gate`.
[[nodiscard]] bool requestDownloadToken(const std::string& serverUrl, const std::string& sessionToken,
                                        std::string& token, bool& gate, std::string* error = nullptr);

// The same, with the sequence of the release the service calls current
// ("releaseSequence"): 0 when the answer names none or not a whole number
// from 1 to 2147483647.
[[nodiscard]] bool requestDownloadToken(const std::string& serverUrl, const std::string& sessionToken,
                                        std::string& token, bool& gate, std::int32_t& currentRelease,
                                        std::string* error = nullptr);
