#include "ui/launcher_state.h"

#include <gtest/gtest.h>

namespace {

TEST(SetStatus, ClampsProgressIntoTheUnitRange) {
    setStatus(LauncherPhase::Updating, "t", "d", -0.5f);
    EXPECT_EQ(copyLauncherState().progress, 0.0f);
    setStatus(LauncherPhase::Updating, "t", "d", 1.7f);
    EXPECT_EQ(copyLauncherState().progress, 1.0f);
    setStatus(LauncherPhase::Updating, "t", "d", 0.25f);
    EXPECT_EQ(copyLauncherState().progress, 0.25f);
}

TEST(SetStatus, ACheckOpensANewUpdateEpisodeEvenIfNoTimerTickSawIt) {
    LauncherState claimed;
    claimed.autoUpdateStarted = true;
    replaceLauncherStateForTests(claimed);
    setStatus(LauncherPhase::Checking, "Checking installed files", "Comparing release manifests", 0.08f);
    setStatus(LauncherPhase::UpdateAvailable, "Update available", "1 files ready to install", 0.0f);
    EXPECT_FALSE(copyLauncherState().autoUpdateStarted);

    replaceLauncherStateForTests(claimed);
    setStatus(LauncherPhase::Updating, "Installing update", "Staging verified files", 0.01f);
    setStatus(LauncherPhase::Error, "Update failed", "x", 0.0f);
    EXPECT_TRUE(copyLauncherState().autoUpdateStarted);
    replaceLauncherStateForTests({});
}

// Each call reports whether the change counter moved since the last call.
class CounterWatch {
public:
    bool moved() {
        const std::uint64_t now = changeCount();
        const bool moved = now != last_;
        last_ = now;
        return moved;
    }

private:
    std::uint64_t last_ = changeCount();
};

TEST(ChangeCount, MovesWithEveryChangeOfWhatTheWindowShows) {
    CounterWatch watch;
    setStatus(LauncherPhase::UpdateAvailable, "Update available", "3 files ready to install", 0.4567f);
    EXPECT_TRUE(watch.moved());
    setStatus(LauncherPhase::UpdateAvailable, "Update available", "3 files ready to install", 0.4567f);
    EXPECT_FALSE(watch.moved());
    setStatus(LauncherPhase::UpdateAvailable, "Update available", "4 files ready to install", 0.4567f);
    EXPECT_TRUE(watch.moved());
    setStatusLine("Log in to start the download.");
    EXPECT_TRUE(watch.moved());
    std::string serverUrl;
    EXPECT_EQ(beginLogin(true, serverUrl), LoginStart::Started);
    EXPECT_TRUE(watch.moved());
    finishLogin("token", "Ember");
    EXPECT_TRUE(watch.moved());
    signOut("");
    EXPECT_TRUE(watch.moved());
    toggleRememberName();
    EXPECT_TRUE(watch.moved());
    toggleRememberName();
    (void)watch.moved();
    setNavTab(2);
    EXPECT_TRUE(watch.moved());
    setNavTab(0);
    (void)watch.moved();
    setHover(5);
    EXPECT_TRUE(watch.moved());
    setHover(0);
    (void)watch.moved();
    setPressed(3);
    EXPECT_TRUE(watch.moved());
    EXPECT_EQ(releasePressed(), 3);
    EXPECT_TRUE(watch.moved());
    replaceNews(LauncherState::builtInNews(), LauncherState::builtInPatchNotes());
    EXPECT_TRUE(watch.moved());
}

TEST(ChangeCount, IgnoresProgressChangesBelowOneThousandth) {
    setStatus(LauncherPhase::Updating, "t", "d", 0.5001f);
    CounterWatch watch;
    setStatus(LauncherPhase::Updating, "t", "d", 0.5008f);
    EXPECT_FALSE(watch.moved());
    setStatus(LauncherPhase::Updating, "t", "d", 0.5012f);
    EXPECT_TRUE(watch.moved());
}

TEST(Snapshot, HidesTheAccountNameUnlessLoggedInAndClampsThePhase) {
    LauncherState state;
    state.accountName = "Ember";
    state.phase = static_cast<LauncherPhase>(9);
    LauncherView view = snapshot(state);
    EXPECT_EQ(view.accountName, "");
    EXPECT_TRUE(view.showLoginForm);
    EXPECT_EQ(view.phase, LauncherPhase::Error);
    state.loggedIn = true;
    view = snapshot(state);
    EXPECT_EQ(view.accountName, "Ember");
    EXPECT_FALSE(view.showLoginForm);
}

TEST(LauncherState, StartsWithTheBuiltInTextsAndContent) {
    LauncherState state;
    EXPECT_EQ(state.phase, LauncherPhase::Checking);
    EXPECT_EQ(state.title, "Checking installed files");
    EXPECT_EQ(state.detail, "Preparing your arena loadout");
    ASSERT_EQ(state.newsCards.size(), 2u);
    EXPECT_EQ(state.newsCards[1].title, "Faces and capes");
    ASSERT_EQ(state.patchNotes.size(), 1u);
    EXPECT_EQ(state.patchNotes[0].title, "Test build");
    EXPECT_EQ(state.patchNotes[0].lines.size(), 4u);
    EXPECT_TRUE(state.rememberName);
}

}  // namespace
