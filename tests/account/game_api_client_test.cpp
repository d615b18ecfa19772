#include "account/game_api_client.h"

#include "base/version.h"
#include "tests/support/scripted_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

ScriptedHandler answerWith(ScriptedResponse response) {
    return [response](const RecordedRequest&, int) { return response; };
}

ScriptedResponse jsonAnswer(int status, std::string body) {
    ScriptedResponse response = ScriptedResponse::withStatus(status, std::move(body));
    response.headers.emplace_back("Content-Type", "application/json");
    return response;
}

// The headers this client adds itself, in the order it sends them.
Headers addedHeaders(const RecordedRequest& request) {
    Headers added;
    for (const auto& header : request.headers) {
        if (header.first == "Accept" || header.first == "Content-Type" || header.first == "Origin" ||
            header.first == "X-Morvanth-Session") {
            added.push_back(header);
        }
    }
    return added;
}

TEST(GameApiClientRequest, SendsOnePostWithTheExactHeadersAndBody) {
    ScriptedServer server(answerWith(jsonAnswer(200, R"({"ok":true})")));
    ASSERT_TRUE(server.listening());
    std::string response;
    std::string error = "untouched";
    ASSERT_TRUE(GameApiClient::postJson(server.url(), "/api/games/morvanth/v1/session/login", "",
                                        R"({"password":"p","username":"u"})", response, &error));
    EXPECT_EQ(response, R"({"ok":true})");
    EXPECT_EQ(error, "untouched");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const RecordedRequest& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/api/games/morvanth/v1/session/login");
    EXPECT_EQ(request.version, "HTTP/1.1");
    EXPECT_EQ(request.body, R"({"password":"p","username":"u"})");
    const Headers expected = {
        {"Accept", "application/json"}, {"Content-Type", "application/json"}, {"Origin", server.url()}};
    EXPECT_EQ(addedHeaders(request), expected);
    EXPECT_EQ(request.header("User-Agent"), "TinderhallowLauncher/1 (" TINDERHALLOW_VERSION_TEXT ")");
    EXPECT_EQ(request.header("Host"), "127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(request.header("Content-Length"), "31");
    EXPECT_FALSE(request.header("X-Morvanth-Session").has_value());
    EXPECT_FALSE(request.header("Authorization").has_value());
    // Nothing else but WinHTTP's own Connection header.
    for (const auto& [name, value] : request.headers) {
        EXPECT_TRUE(name == "Accept" || name == "Content-Type" || name == "Origin" || name == "User-Agent" ||
                    name == "Host" || name == "Content-Length" || name == "Connection")
            << name << ": " << value;
    }
}

TEST(GameApiClientRequest, SendsTheSessionHeaderAfterOriginOnlyWithAToken) {
    ScriptedServer server(answerWith(jsonAnswer(200, R"({"ok":true})")));
    std::string response;
    ASSERT_TRUE(
        GameApiClient::postJson(server.url(), "/api/games/morvanth/v1/session/ticket", "tok-123", "{}", response));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const Headers expected = {{"Accept", "application/json"},
                              {"Content-Type", "application/json"},
                              {"Origin", server.url()},
                              {"X-Morvanth-Session", "tok-123"}};
    EXPECT_EQ(addedHeaders(requests[0]), expected);
    EXPECT_EQ(requests[0].body, "{}");
}

TEST(GameApiClientRequest, KeepsAQueryStringOfTheAddressAndSendsAnEmptyBodyAsNoData) {
    ScriptedServer server(answerWith(jsonAnswer(200, "{}")));
    std::string response;
    ASSERT_TRUE(GameApiClient::postJson(server.url(), "/api/x?region=eu&v=1", "", "", response));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/api/x?region=eu&v=1");
    EXPECT_EQ(requests[0].body, "");
    EXPECT_EQ(requests[0].header("Content-Length"), "0");
}

TEST(GameApiClientAnswer, ReturnsA2xxBodyExactly) {
    const std::string body = "{\"ok\":true,\"text\":\"caf\xC3\xA9\"}\r\n";
    ScriptedServer server(answerWith(jsonAnswer(201, body)));
    std::string response = "old text";
    ASSERT_TRUE(GameApiClient::postJson(server.url(), "/p", "", "{}", response));
    EXPECT_EQ(response, body);
}

TEST(GameApiClientAnswer, SucceedsWithAnEmptyResponseFor204) {
    ScriptedServer server(answerWith(ScriptedResponse::withStatus(204)));
    std::string response = "old text";
    std::string error = "untouched";
    ASSERT_TRUE(GameApiClient::postJson(server.url(), "/p", "", "{}", response, &error));
    EXPECT_EQ(response, "");
    EXPECT_EQ(error, "untouched");
}

TEST(GameApiClientAnswer, ReadsABodyWithoutContentLengthUntilTheConnectionCloses) {
    ScriptedResponse answer = jsonAnswer(200, std::string(300000, 'x'));
    answer.sendContentLength = false;
    ScriptedServer server(answerWith(answer));
    std::string response;
    ASSERT_TRUE(GameApiClient::postJson(server.url(), "/p", "", "{}", response));
    EXPECT_EQ(response, answer.body);
}

TEST(GameApiClientAnswer, KeepsWhatArrivedWhenA2xxBodyIsCutShort) {
    ScriptedResponse answer = jsonAnswer(200, R"({"ok":true,"ticket":"abcdef"})");
    answer.announcedLength = 500;
    ScriptedServer server(answerWith(answer));
    std::string response;
    ASSERT_TRUE(GameApiClient::postJson(server.url(), "/p", "", "{}", response));
    EXPECT_EQ(response, answer.body);
}

TEST(GameApiClientRefusal, GivesTheServiceMessageVerbatim) {
    const std::string body = R"({"ok":false,"message":"Wrong account name or password. \u00c9"})";
    ScriptedServer server(answerWith(jsonAnswer(401, body)));
    std::string response;
    std::string error;
    EXPECT_FALSE(GameApiClient::postJson(server.url(), "/p", "", "{}", response, &error));
    EXPECT_EQ(error, "Wrong account name or password. \xC3\x89");
    EXPECT_EQ(response, body);
}

TEST(GameApiClientRefusal, GivesTheStatusWhen401HasNoBody) {
    ScriptedServer server(answerWith(ScriptedResponse::withStatus(401)));
    std::string response = "old text";
    std::string error;
    EXPECT_FALSE(GameApiClient::postJson(server.url(), "/p", "", "{}", response, &error));
    EXPECT_EQ(error, "The server refused the request (HTTP 401).");
    EXPECT_EQ(response, "");
}

TEST(GameApiClientRefusal, GivesTheStatusFor500WithAnHtmlPage) {
    const std::string page = "<html><body><h1>500 Internal Server Error</h1></body></html>";
    ScriptedResponse answer = ScriptedResponse::withStatus(500, page);
    answer.headers.emplace_back("Content-Type", "text/html");
    ScriptedServer server(answerWith(answer));
    std::string response;
    std::string error;
    EXPECT_FALSE(GameApiClient::postJson(server.url(), "/p", "", "{}", response, &error));
    EXPECT_EQ(error, "The server refused the request (HTTP 500).");
    EXPECT_EQ(response, page);
}

TEST(GameApiClientRefusal, GivesAnEmptyTextForAnEmptyMessage) {
    ScriptedServer server(answerWith(jsonAnswer(403, R"({"message":""})")));
    std::string response;
    std::string error = "not yet";
    EXPECT_FALSE(GameApiClient::postJson(server.url(), "/p", "", "{}", response, &error));
    EXPECT_EQ(error, "");
}

TEST(GameApiClientRefusal, GivesTheStatusWhenMessageIsNotAStringOrTheBodyNotAnObject) {
    for (const std::string body : {R"({"message":42})", R"({"message":null})", R"(["message"])", R"("message")",
                                   R"({"note":"x"})", R"({"message":"x")"}) {
        ScriptedServer server(answerWith(jsonAnswer(409, body)));
        std::string response;
        std::string error;
        EXPECT_FALSE(GameApiClient::postJson(server.url(), "/p", "", "{}", response, &error)) << body;
        EXPECT_EQ(error, "The server refused the request (HTTP 409).") << body;
    }
}

TEST(GameApiClientAnswerSize, AcceptsAnAnswerOfExactlyTheLimit) {
    ScriptedServer server(answerWith(jsonAnswer(200, std::string(kMaxGameApiAnswerBytes, 'a'))));
    std::string response;
    ASSERT_TRUE(GameApiClient::postJson(server.url(), "/p", "", "{}", response));
    EXPECT_EQ(response.size(), kMaxGameApiAnswerBytes);
}

TEST(GameApiClientAnswerSize, RefusesAnAnswerOneByteOverTheLimit) {
    ScriptedServer server(answerWith(jsonAnswer(200, std::string(kMaxGameApiAnswerBytes + 1, 'a'))));
    std::string response;
    std::string error;
    EXPECT_FALSE(GameApiClient::postJson(server.url(), "/p", "", "{}", response, &error));
    EXPECT_EQ(error, "The server answer was not understood.");
    EXPECT_EQ(response, "");
}

TEST(GameApiClientAnswerSize, RefusesAHugeAnswerWithoutLengthOrWithAnErrorStatus) {
    ScriptedResponse endless = jsonAnswer(200, std::string(8 * kMaxGameApiAnswerBytes, ' '));
    endless.sendContentLength = false;
    ScriptedResponse refusal =
        jsonAnswer(500, "{\"message\":\"" + std::string(2 * kMaxGameApiAnswerBytes, 'm') + "\"}");
    for (const ScriptedResponse& answer : {endless, refusal}) {
        ScriptedServer server(answerWith(answer));
        std::string response;
        std::string error;
        EXPECT_FALSE(GameApiClient::postJson(server.url(), "/p", "", "{}", response, &error));
        EXPECT_EQ(error, "The server answer was not understood.");
        EXPECT_LE(response.size(), kMaxGameApiAnswerBytes);
    }
}

TEST(GameApiClientTransport, ReportsARefusedConnectionAndLeavesTheResponseAlone) {
    std::string url;
    {
        ScriptedServer closed(answerWith(ScriptedResponse::ok("{}")));
        url = closed.url();
    }  // nothing listens on that port any more
    std::string response = "kept";
    std::string error;
    EXPECT_FALSE(GameApiClient::postJson(url, "/p", "", "{}", response, &error));
    EXPECT_EQ(error, "Could not reach the game server. Check your internet connection.");
    EXPECT_EQ(response, "kept");
}

TEST(GameApiClientTransport, ReportsAConnectionDroppedWithoutAnswer) {
    ScriptedResponse drop;
    drop.dropWithoutAnswer = true;
    ScriptedServer server(answerWith(drop));
    std::string response = "kept";
    std::string error;
    EXPECT_FALSE(GameApiClient::postJson(server.url(), "/p", "", "{}", response, &error));
    EXPECT_EQ(error, "Could not reach the game server. Check your internet connection.");
    EXPECT_EQ(response, "kept");
}

// A followed redirect would carry the login's password, or the session
// header, to whatever host the answer names.
TEST(GameApiClientRedirect, FailsEveryRedirectAndSendsNothingToTheHostItNames) {
    ScriptedServer elsewhere(answerWith(jsonAnswer(200, R"({"ok":true,"sessionToken":"stolen"})")), "127.0.0.2");
    ASSERT_TRUE(elsewhere.listening());
    for (const int status : {301, 302, 303, 307, 308}) {
        ScriptedResponse redirect = jsonAnswer(status, R"({"message":"Moved."})");
        redirect.headers.emplace_back("Location", elsewhere.url() + "/api/games/morvanth/v1/session/login");
        ScriptedServer server(answerWith(redirect));
        const std::string expected = "The game server redirected the request (HTTP " + std::to_string(status) +
                                     "); check the address in server_url.txt.";

        std::string response;
        std::string error;
        EXPECT_FALSE(GameApiClient::postJson(server.url(), "/api/games/morvanth/v1/session/login", "",
                                             R"({"password":"hunter2","username":"u"})", response, &error));
        EXPECT_EQ(error, expected);
        EXPECT_EQ(response, R"({"message":"Moved."})");

        error.clear();
        EXPECT_FALSE(GameApiClient::postJson(server.url(), "/api/games/morvanth/v1/session/ticket", "session-1", "{}",
                                             response, &error));
        EXPECT_EQ(error, expected);
        EXPECT_EQ(server.requestCount(), 2) << status;
    }
    EXPECT_EQ(elsewhere.requestCount(), 0);
}

class GameApiClientTimeLimit : public ::testing::Test {
protected:
    void SetUp() override { setGameApiTimeLimitForTests(std::chrono::milliseconds(1500)); }
    void TearDown() override { setGameApiTimeLimitForTests(kGameApiTimeLimit); }
};

// Each byte comes well within the receive time-out, so only a limit on the
// whole call ends it; the answer would take about half a minute to arrive.
TEST_F(GameApiClientTimeLimit, GivesUpOnAnAnswerThatTricklesInHeadOrBody) {
    for (const bool head : {true, false}) {
        ScriptedResponse slow = jsonAnswer(200, R"({"ok":true,"sessionToken":"late"})" + std::string(100, ' '));
        slow.trickleMs = 250;
        slow.trickleHead = head;
        ScriptedServer server(answerWith(slow));
        std::string response = "kept";
        std::string error;
        EXPECT_FALSE(GameApiClient::postJson(server.url(), "/api/games/morvanth/v1/session/login", "",
                                             R"({"password":"p","username":"u"})", response, &error))
            << (head ? "trickled head" : "trickled body");
        EXPECT_EQ(error, "Could not reach the game server. Check your internet connection.");
        EXPECT_EQ(response, "kept");
        EXPECT_EQ(server.requestCount(), 1);
    }
}

TEST(GameApiClientAddress, RefusesAnAddressWithoutSchemeWithoutNetworkAccess) {
    ScriptedServer server(answerWith(ScriptedResponse::ok("{}")));
    for (const std::string& url :
         {"127.0.0.1:" + std::to_string(server.port()), std::string("play.example"), std::string("")}) {
        std::string response = "kept";
        std::string error;
        EXPECT_FALSE(GameApiClient::postJson(url, "/api/x", "", "{}", response, &error)) << url;
        EXPECT_EQ(error, "The game server address is not valid.") << url;
        EXPECT_EQ(response, "kept");
    }
    EXPECT_EQ(server.requestCount(), 0);
}

}  // namespace
