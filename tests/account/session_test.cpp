#include "account/session.h"

#include "account/login_worker.h"
#include "tests/support/scripted_server.h"
#include "ui/launcher_state.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr const char* kNotUnderstood = "The server answer was not understood.";

ScriptedHandler answerWith(int status, std::string body) {
    return [status, body](const RecordedRequest&, int) {
        ScriptedResponse response = ScriptedResponse::withStatus(status, body);
        response.headers.emplace_back("Content-Type", "application/json");
        return response;
    };
}

// --- login ---------------------------------------------------------------

TEST(Login, SendsPasswordBeforeUsernameCompactlyWithUtf8Unescaped) {
    ScriptedServer server(answerWith(200, R"({"ok":true,"sessionToken":"s1"})"));
    AccountSession session;
    std::string error;
    ASSERT_TRUE(login(server.url(), "Br\"an\\oc \xC3\xA9l\xC3\xBC", "pa ss\"\\\n\t\x01", session, &error)) << error;
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/api/games/morvanth/v1/session/login");
    EXPECT_EQ(requests[0].body,
              "{\"password\":\"pa ss\\\"\\\\\\n\\t\\u0001\",\"username\":\"Br\\\"an\\\\oc \xC3\xA9l\xC3\xBC\"}");
    EXPECT_FALSE(requests[0].header("X-Morvanth-Session").has_value());
}

TEST(Login, ReplacesBytesThatAreNotUtf8InsteadOfFailing) {
    ScriptedServer server(answerWith(200, R"({"ok":true,"sessionToken":"s1"})"));
    AccountSession session;
    ASSERT_TRUE(login(server.url(), "n\xFF", "p", session));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, "{\"password\":\"p\",\"username\":\"n\xEF\xBF\xBD\"}");
}

TEST(Login, SignsInUnderTheTypedNameWhenTheAnswerHasNoAccount) {
    for (const std::string answer :
         {R"({"ok":true,"sessionToken":"tok"})", R"({"ok":true,"sessionToken":"tok","account":"Other"})",
          R"({"ok":true,"sessionToken":"tok","account":{"id":7}})"}) {
        ScriptedServer server(answerWith(200, answer));
        AccountSession session;
        ASSERT_TRUE(login(server.url(), "brannoc", "pw", session)) << answer;
        EXPECT_EQ(session.sessionToken, "tok");
        EXPECT_EQ(session.accountName, "brannoc") << answer;
    }
}

TEST(Login, TakesTheAccountNameFromTheAnswer) {
    ScriptedServer server(answerWith(200, R"({"ok":true,"sessionToken":"tok","account":{"username":"Brannoc"}})"));
    AccountSession session;
    ASSERT_TRUE(login(server.url(), "BRANNOC", "pw", session));
    EXPECT_EQ(session.accountName, "Brannoc");
    EXPECT_EQ(session.sessionToken, "tok");
}

TEST(Login, FailsWithoutAddressAndWithoutNetworkAccess) {
    AccountSession session{"old token", "old name"};
    std::string error;
    EXPECT_FALSE(login("", "n", "p", session, &error));
    EXPECT_EQ(error, "No game server address is set (server_url.txt).");
    EXPECT_EQ(session.sessionToken, "old token");
}

TEST(Login, PassesTheServiceRefusalThrough) {
    ScriptedServer server(answerWith(401, R"({"ok":false,"message":"Wrong account name or password."})"));
    AccountSession session;
    std::string error;
    EXPECT_FALSE(login(server.url(), "n", "p", session, &error));
    EXPECT_EQ(error, "Wrong account name or password.");
}

TEST(Login, DoesNotUnderstandOkFalseWith200EvenWithAMessage) {
    ScriptedServer server(answerWith(200, R"({"ok":false,"message":"Account locked.","sessionToken":"t"})"));
    AccountSession session{"old token", "old name"};
    std::string error;
    EXPECT_FALSE(login(server.url(), "n", "p", session, &error));
    EXPECT_EQ(error, kNotUnderstood);
    EXPECT_EQ(session.sessionToken, "old token");
    EXPECT_EQ(session.accountName, "old name");
}

TEST(Login, DoesNotUnderstandMalformedAnswers) {
    for (const std::string answer : {
             R"({"ok":"true","sessionToken":"t"})",                            // ok not boolean
             R"({"ok":1,"sessionToken":"t"})",                                 // ok not boolean
             R"({"sessionToken":"t"})",                                        // ok absent
             R"({"ok":true})",                                                 // no token
             R"({"ok":true,"sessionToken":42})",                               // token not a string
             R"({"ok":true,"sessionToken":"t","account":{"username":7}})",     // name not a string
             R"({"ok":true,"sessionToken":"t","account":{"username":null}})",  // name not a string
             R"([{"ok":true,"sessionToken":"t"}])",                            // not an object
             R"({"ok":true,"sessionToken":"t")",                               // not JSON
             "",                                                               // empty 2xx
         }) {
        ScriptedServer server(answerWith(200, answer));
        AccountSession session{"old token", "old name"};
        std::string error;
        EXPECT_FALSE(login(server.url(), "n", "p", session, &error)) << answer;
        EXPECT_EQ(error, kNotUnderstood) << answer;
        EXPECT_EQ(session.sessionToken, "old token") << answer;
    }
}

// Tokens go back to the service as header values; a line break in one would
// add header lines of the service's choosing (even a second Host:).
std::vector<std::string> tokensThatCouldAddHeaderLines() {
    return {R"("t\r\nHost: elsewhere.example")",
            R"("t\nX-Extra: 1")",
            R"("t\r")",
            R"("t\u0000x")",
            R"("t\tx")",
            R"("t\u007fx")",
            R"("t\u0085x")",
            "\"" + std::string(4097, 'a') + "\""};
}

TEST(SessionTokens, RefusesATokenWithAControlCharacterOrLongerThan4096Bytes) {
    for (const std::string& bad : tokensThatCouldAddHeaderLines()) {
        ScriptedServer server(answerWith(200, R"({"ok":true,"sessionToken":)" + bad + "}"));
        AccountSession session{"old token", "old name"};
        std::string error;
        EXPECT_FALSE(login(server.url(), "n", "p", session, &error)) << bad.substr(0, 40);
        EXPECT_EQ(error, kNotUnderstood) << bad.substr(0, 40);
        EXPECT_EQ(session.sessionToken, "old token");
    }
    for (const std::string& bad : tokensThatCouldAddHeaderLines()) {
        // A refused download token is a failed request: the current one stays.
        ScriptedServer server(answerWith(200, R"({"ok":true,"gate":true,"token":)" + bad + "}"));
        std::string token = "old";
        bool gate = false;
        std::string error;
        EXPECT_FALSE(requestDownloadToken(server.url(), "sess", token, gate, &error)) << bad.substr(0, 40);
        EXPECT_EQ(error, kNotUnderstood) << bad.substr(0, 40);
        EXPECT_EQ(token, "old");
    }

    const std::string longest(4096, 'a');
    ScriptedServer server(
        answerWith(200, R"({"ok":true,"sessionToken":")" + longest + R"(","gate":true,"token":")" + longest + "\"}"));
    AccountSession session;
    ASSERT_TRUE(login(server.url(), "n", "p", session));
    EXPECT_EQ(session.sessionToken, longest);
    std::string token;
    bool gate = false;
    ASSERT_TRUE(requestDownloadToken(server.url(), session.sessionToken, token, gate));
    EXPECT_EQ(token, longest);
    EXPECT_EQ(server.requests().back().header("X-Morvanth-Session"), longest);
}

// The current release's sequence, when the service names one; anything but
// a whole number from 1 that fits the manifest's field means no check.
TEST(RequestDownloadToken, ReadsTheCurrentReleaseSequenceOnlyWhenItIsAWholeNumberFromOne) {
    for (const auto& [member, expected] :
         std::vector<std::pair<std::string, std::int32_t>>{{"", 0},
                                                           {R"(,"releaseSequence":7)", 7},
                                                           {R"(,"releaseSequence":2147483647)", 2147483647},
                                                           {R"(,"releaseSequence":2147483648)", 0},
                                                           {R"(,"releaseSequence":4294967303)", 0},
                                                           {R"(,"releaseSequence":0)", 0},
                                                           {R"(,"releaseSequence":-3)", 0},
                                                           {R"(,"releaseSequence":7.5)", 0},
                                                           {R"(,"releaseSequence":"7")", 0},
                                                           {R"(,"releaseSequence":null)", 0}}) {
        ScriptedServer server(answerWith(200, R"({"ok":true,"gate":false)" + member + "}"));
        std::string token;
        bool gate = true;
        std::int32_t current = -1;
        EXPECT_TRUE(requestDownloadToken(server.url(), "sess", token, gate, current)) << member;
        EXPECT_EQ(current, expected) << member;
    }
}

// --- ticket ----------------------------------------------------------------

TEST(RequestTicket, SendsEmptyObjectWithTheSessionHeader) {
    ScriptedServer server(answerWith(200, R"({"ok":true,"ticket":"T-1"})"));
    std::string ticket;
    ASSERT_TRUE(requestTicket(server.url(), "sess", ticket));
    EXPECT_EQ(ticket, "T-1");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/api/games/morvanth/v1/session/ticket");
    EXPECT_EQ(requests[0].body, "{}");
    EXPECT_EQ(requests[0].header("X-Morvanth-Session"), "sess");
}

TEST(RequestTicket, AcceptsAnEmptyTicket) {
    ScriptedServer server(answerWith(200, R"({"ok":true,"ticket":""})"));
    std::string ticket = "old";
    ASSERT_TRUE(requestTicket(server.url(), "sess", ticket));
    EXPECT_EQ(ticket, "");
}

TEST(RequestTicket, DoesNotUnderstandAnAnswerWithoutAStringTicket) {
    for (const std::string answer : {R"({"ok":true})", R"({"ok":true,"ticket":5})", R"({"ok":false,"ticket":"t"})",
                                     R"({"ok":"yes","ticket":"t"})"}) {
        ScriptedServer server(answerWith(200, answer));
        std::string ticket = "old";
        std::string error;
        EXPECT_FALSE(requestTicket(server.url(), "sess", ticket, &error)) << answer;
        EXPECT_EQ(error, kNotUnderstood) << answer;
        EXPECT_EQ(ticket, "old");
    }
}

TEST(RequestTicket, PassesAnExpiredSessionMessageThrough) {
    ScriptedServer server(answerWith(401, R"({"ok":false,"message":"Session invalid or expired."})"));
    std::string ticket;
    std::string error;
    SessionRefusal refusal = SessionRefusal::Other;
    EXPECT_FALSE(requestTicket(server.url(), "sess", ticket, &error, &refusal));
    EXPECT_EQ(error, "Session invalid or expired.");
    EXPECT_EQ(refusal, SessionRefusal::Expired);
}

// --- download token ----------------------------------------------------------

struct TokenOutcome {
    bool result = false;
    std::string token = "old";
    bool gate = true;
    std::string error;
};

TokenOutcome askForToken(const std::string& answer, bool gateBefore = true) {
    ScriptedServer server(answerWith(200, answer));
    TokenOutcome outcome;
    outcome.gate = gateBefore;
    outcome.result = requestDownloadToken(server.url(), "sess", outcome.token, outcome.gate, &outcome.error);
    const auto requests = server.requests();
    EXPECT_EQ(requests.size(), 1u);
    if (!requests.empty()) {
        EXPECT_EQ(requests[0].path, "/api/games/morvanth/v1/session/download-token");
        EXPECT_EQ(requests[0].body, "{}");
        EXPECT_EQ(requests[0].header("X-Morvanth-Session"), "sess");
    }
    return outcome;
}

TEST(RequestDownloadToken, GivesTheTokenOnlyWhenGated) {
    auto outcome = askForToken(R"({"ok":true,"gate":true,"token":"dl-1"})", false);
    EXPECT_TRUE(outcome.result);
    EXPECT_TRUE(outcome.gate);
    EXPECT_EQ(outcome.token, "dl-1");

    outcome = askForToken(R"({"ok":true,"gate":false,"token":"dl-1"})");
    EXPECT_TRUE(outcome.result);
    EXPECT_FALSE(outcome.gate);
    EXPECT_EQ(outcome.token, "");

    outcome = askForToken(R"({"ok":true,"token":"dl-1"})");
    EXPECT_TRUE(outcome.result);
    EXPECT_FALSE(outcome.gate);
    EXPECT_EQ(outcome.token, "");
}

TEST(RequestDownloadToken, SucceedsWithAnEmptyTokenWhenGatedWithoutAUsableToken) {
    auto outcome = askForToken(R"({"ok":true,"gate":true})", false);
    EXPECT_TRUE(outcome.result);
    EXPECT_TRUE(outcome.gate);
    EXPECT_EQ(outcome.token, "");

    outcome = askForToken(R"({"ok":true,"gate":true,"token":17})", false);
    EXPECT_TRUE(outcome.result);
    EXPECT_TRUE(outcome.gate);
    EXPECT_EQ(outcome.token, "");
}

TEST(RequestDownloadToken, DoesNotUnderstandNonBooleanOkOrGate) {
    for (const std::string answer :
         {R"({"ok":"true","gate":true,"token":"t"})", R"({"ok":true,"gate":"true"})",
          R"({"ok":true,"gate":1,"token":"t"})", R"({"ok":false,"gate":true})", R"({"gate":true,"token":"t"})"}) {
        const auto outcome = askForToken(answer);
        EXPECT_FALSE(outcome.result) << answer;
        EXPECT_EQ(outcome.error, kNotUnderstood) << answer;
        EXPECT_EQ(outcome.token, "old") << answer;
        EXPECT_TRUE(outcome.gate) << answer;  // left as it was
    }
}

// --- login worker -------------------------------------------------------------

class LoginWorker : public ::testing::Test {
protected:
    void SetUp() override {
        LauncherState state;
        state.loggedIn = false;
        state.connecting = true;  // as the window leaves it when it starts a login
        state.statusLine = "before";
        replaceLauncherStateForTests(std::move(state));
    }

    std::unique_ptr<LoginRequest> request(const std::string& serverUrl, const std::string& password) {
        auto made = std::make_unique<LoginRequest>();
        made->accountName = "brannoc";
        made->password = password;
        made->serverUrl = serverUrl;
        return made;
    }

    // How the login ended, as the window takes it up once the worker is done.
    LoginEnd finishedLogin() { return takeFinishedLogin().end; }
};

TEST_F(LoginWorker, StoresTheSessionAndReportsSuccess) {
    ScriptedServer server(answerWith(200, R"({"ok":true,"sessionToken":"tok","account":{"username":"Brannoc"}})"));
    std::thread worker(runLoginWorker, request(server.url(), "secret"));
    worker.join();

    const LauncherState state = copyLauncherState();
    EXPECT_EQ(finishedLogin(), LoginEnd::Succeeded);
    EXPECT_EQ(finishedLogin(), LoginEnd::None);  // taken up once
    EXPECT_TRUE(state.loggedIn);
    EXPECT_FALSE(state.connecting);
    EXPECT_EQ(state.sessionToken, "tok");
    EXPECT_EQ(state.accountName, "Brannoc");
    EXPECT_EQ(state.statusLine, "");
}

TEST_F(LoginWorker, ShowsTheErrorAndReportsFailure) {
    ScriptedServer server(answerWith(401, R"({"ok":false,"message":"Wrong account name or password."})"));
    std::thread worker(runLoginWorker, request(server.url(), "secret"));
    worker.join();

    const LauncherState state = copyLauncherState();
    EXPECT_EQ(finishedLogin(), LoginEnd::Failed);
    EXPECT_FALSE(state.loggedIn);
    EXPECT_FALSE(state.connecting);
    EXPECT_EQ(state.statusLine, "Wrong account name or password.");
    EXPECT_EQ(state.sessionToken, "");
}

// The test holds the state lock, so the worker can get no further than the
// wipe that must come before its locked section, which reports the end.
TEST_F(LoginWorker, WipesThePasswordBeforeReportingTheResult) {
    ScriptedServer server(answerWith(401, R"({"ok":false,"message":"no"})"));
    const std::string password = "correct horse battery staple, long enough for the heap";
    auto owned = request(server.url(), password);
    const volatile char* bytes = owned->password.data();
    const std::size_t size = owned->password.size();
    const auto allZero = [&] {
        for (std::size_t i = 0; i < size; ++i) {
            if (bytes[i] != 0) return false;
        }
        return true;
    };

    std::unique_lock<std::mutex> lock = pauseLauncherStateForTests();
    std::thread worker(runLoginWorker, std::move(owned));
    // Only a guard against hanging: a worker that wipes later never gets here.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!allZero() && std::chrono::steady_clock::now() < giveUp) Sleep(1);
    const bool wipedWhileBlocked = allZero();
    lock.unlock();
    worker.join();

    EXPECT_TRUE(wipedWhileBlocked);
    EXPECT_EQ(server.requestCount(), 1);
    EXPECT_EQ(finishedLogin(), LoginEnd::Failed);
}

TEST_F(LoginWorker, FailsWithoutAddressAndStillReports) {
    std::thread worker(runLoginWorker, request("", "secret"));
    worker.join();
    EXPECT_EQ(finishedLogin(), LoginEnd::Failed);
    const LauncherState state = copyLauncherState();
    EXPECT_FALSE(state.connecting);
    EXPECT_EQ(state.statusLine, "No game server address is set (server_url.txt).");
}

}  // namespace
