#pragma once
// The game service's JSON client: one synchronous POST per call, nothing
// kept between calls. Runs on worker threads only.

#include <chrono>
#include <cstddef>
#include <string>

// Longest answer the client accepts. Service answers are small JSON texts;
// anything longer is refused instead of being held in memory.
inline constexpr std::size_t kMaxGameApiAnswerBytes = 1024 * 1024;

// A call that has not finished after this long fails as unreachable, however
// slowly its answer is still arriving.
inline constexpr std::chrono::milliseconds kGameApiTimeLimit{30000};

// Tests only: a shorter limit, so that a test of a stalling service need not
// wait the full limit. The launcher never calls it.
void setGameApiTimeLimitForTests(std::chrono::milliseconds limit);

struct GameApiClient {
    // POSTs `body` to serverUrl + path. True only for an answer with status
    // 200..299; `response` then holds its body. On any other outcome `error`
    // gets one sentence (the service's own "message" when it sent one) and a
    // non-2xx body still lands in `response`.
    [[nodiscard]] static bool postJson(const std::string& serverUrl, const std::string& path,
                                       const std::string& sessionToken, const std::string& body, std::string& response,
                                       std::string* error = nullptr);
};
