#include "account/game_launch.h"

#include "account/session.h"
#include "base/product.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_paths.h"
#include "ui/launcher_state.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

// A launcher folder holding the stub game, and a hidden window standing in
// for the launcher's as the owner of the shell's dialogs.
class GameLaunch : public ::testing::Test {
protected:
    void SetUp() override {
        std::error_code ec;
        std::filesystem::copy_file(buildDir() / kGameExeName, dir / kGameExeName, ec);
        ASSERT_FALSE(ec) << "stub game missing in the build folder";
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"GameLaunchTestWindow";
        RegisterClassW(&windowClass);  // a second registration fails harmlessly
        window = CreateWindowExW(0, L"GameLaunchTestWindow", L"launcher", 0, 0, 0, 1, 1, HWND_MESSAGE, nullptr,
                                 windowClass.hInstance, nullptr);
        ASSERT_NE(window, nullptr);
        LauncherState state;
        state.launcherDir = dir.path();
        state.loggedIn = true;
        state.sessionToken = "session-1";
        state.accountName = "Ember";
        state.statusLine.clear();
        state.phase = LauncherPhase::Ready;
        state.title = "Game is ready";
        replaceLauncherStateForTests(std::move(state));
    }
    void TearDown() override { DestroyWindow(window); }

    void setServer(const std::string& url) { setServerUrl(url); }
    bool closeRequested() { return windowCloseRequested(); }
    // The stub game writes its arguments beside itself once it has started.
    // A record is never empty, but it can exist a moment before it can be
    // read: the game's rename still holds it open.
    std::string waitForGameRecord() {
        const auto record = dir / L"game_command_line.txt";
        std::string text;
        for (int i = 0; i < 200 && (text = readTextFile(record)).empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return text;
    }

    ScratchDir dir;
    HWND window = nullptr;
};

TEST_F(GameLaunch, StartsTheGameWithExactlyTheTicketArgumentsAndClosesTheLauncher) {
    ScriptedServer server(
        [](const RecordedRequest&, int) { return ScriptedResponse::ok(R"({"ok":true,"ticket":"T-42.abc"})"); });
    setServer(server.url());
    launchGame(window);
    EXPECT_TRUE(closeRequested());
    EXPECT_EQ(waitForGameRecord(), "argc=2\n--ticket\nT-42.abc\n");
    ASSERT_EQ(server.requestCount(), 1);
    const RecordedRequest request = server.requests()[0];
    EXPECT_EQ(request.path, "/api/games/morvanth/v1/session/ticket");
    EXPECT_EQ(request.header("X-Morvanth-Session").value_or(""), "session-1");
}

// The ticket comes from the game service's answer; whatever it holds, the
// game must see it as the one argument after "--ticket", never as more.
TEST_F(GameLaunch, HandsATicketWithSpacesQuotesAndBackslashesOverAsOneArgument) {
    ScriptedServer server([](const RecordedRequest&, int) {
        return ScriptedResponse::ok(R"({"ok":true,"ticket":"T-1 --hold \"x y\" z\\"})");
    });
    setServer(server.url());
    launchGame(window);
    EXPECT_TRUE(closeRequested());
    EXPECT_EQ(waitForGameRecord(), "argc=2\n--ticket\nT-1 --hold \"x y\" z\\\n");
}

TEST_F(GameLaunch, HandsATicketWithATabAndTrailingBackslashesOverAsOneArgument) {
    ScriptedServer server(
        [](const RecordedRequest&, int) { return ScriptedResponse::ok(R"({"ok":true,"ticket":"a\tb\\\\"})"); });
    setServer(server.url());
    launchGame(window);
    EXPECT_TRUE(closeRequested());
    EXPECT_EQ(waitForGameRecord(), "argc=2\n--ticket\na\tb\\\\\n");
}

// The game's command line ends at a NUL, so such a ticket would reach the
// game cut short; it is a malformed answer like any other.
TEST_F(GameLaunch, StartsWithoutTicketWhenTheTicketHoldsANul) {
    ScriptedServer server(
        [](const RecordedRequest&, int) { return ScriptedResponse::ok(R"({"ok":true,"ticket":"T-42\u0000.abc"})"); });
    std::string ticket = "old";
    std::string error;
    EXPECT_FALSE(requestTicket(server.url(), "session-1", ticket, &error));
    EXPECT_EQ(error, "The server answer was not understood.");
    EXPECT_EQ(ticket, "old");

    setServer(server.url());
    launchGame(window);
    EXPECT_TRUE(closeRequested());
    EXPECT_EQ(waitForGameRecord(), "argc=0\n");
    EXPECT_EQ(server.requestCount(), 2);
    EXPECT_TRUE(isLoggedIn());
}

TEST_F(GameLaunch, SignsOutOnAnExpiredLoginAndStartsNothing) {
    ScriptedServer server([](const RecordedRequest&, int) {
        return ScriptedResponse::withStatus(401, R"({"message":"Session invalid or expired."})");
    });
    setServer(server.url());
    launchGame(window);
    EXPECT_FALSE(closeRequested());
    const LauncherState state = copyLauncherState();
    EXPECT_FALSE(state.loggedIn);
    EXPECT_EQ(state.sessionToken, "");
    EXPECT_EQ(state.accountName, "");
    EXPECT_EQ(state.statusLine, "Your login timed out. Please log in again.");
    EXPECT_EQ(state.phase, LauncherPhase::Ready);
    EXPECT_EQ(state.title, "Game is ready");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(std::filesystem::exists(dir / L"game_command_line.txt"));
}

TEST_F(GameLaunch, StartsWithoutTicketWhenTheRefusalIsWordedOtherwise) {
    ScriptedServer server([](const RecordedRequest&, int) {
        return ScriptedResponse::withStatus(401, R"({"message":"Session Invalid or Expired"})");
    });
    setServer(server.url());
    launchGame(window);
    EXPECT_TRUE(closeRequested());
    EXPECT_EQ(waitForGameRecord(), "argc=0\n");
    EXPECT_TRUE(isLoggedIn());
}

TEST_F(GameLaunch, StartsWithoutTicketWhenTheServiceCannotBeReached) {
    setServer("http://127.0.0.1:9");
    launchGame(window);
    EXPECT_TRUE(closeRequested());
    EXPECT_EQ(waitForGameRecord(), "argc=0\n");
}

TEST_F(GameLaunch, StartsWithoutTicketWhenNotLoggedIn) {
    LauncherState state = copyLauncherState();
    state.sessionToken.clear();
    replaceLauncherStateForTests(std::move(state));
    setServer("http://127.0.0.1:9");
    launchGame(window);
    EXPECT_TRUE(closeRequested());
    EXPECT_EQ(waitForGameRecord(), "argc=0\n");
}

TEST_F(GameLaunch, CountsAFolderNamedLikeTheGameAsMissing) {
    std::error_code ec;
    std::filesystem::remove(dir / kGameExeName, ec);
    std::filesystem::create_directory(dir / kGameExeName, ec);
    launchGame(window);
    EXPECT_FALSE(closeRequested());
    const LauncherState state = copyLauncherState();
    EXPECT_EQ(state.phase, LauncherPhase::Error);
    EXPECT_EQ(state.title, "Game executable missing");
    EXPECT_EQ(state.detail, "Run update after configuring patch_source.txt");
}

}  // namespace
