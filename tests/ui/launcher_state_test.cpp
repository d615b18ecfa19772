#include "ui/launcher_state.h"

#include <gtest/gtest.h>

namespace {

TEST(SetStatus, ClampsProgressIntoTheUnitRange) {
    SetStatus(Updating, "t", "d", -0.5f);
    EXPECT_EQ(launcherState().progress, 0.0f);
    SetStatus(Updating, "t", "d", 1.7f);
    EXPECT_EQ(launcherState().progress, 1.0f);
    SetStatus(Updating, "t", "d", 0.25f);
    EXPECT_EQ(launcherState().progress, 0.25f);
}

TEST(SetStatus, ACheckOpensANewUpdateEpisodeEvenIfNoTimerTickSawIt) {
    launcherState().autoUpdateStarted = true;
    SetStatus(Checking, "Checking installed files", "Comparing release manifests", 0.08f);
    SetStatus(UpdateAvailable, "Update available", "1 files ready to install", 0.0f);
    EXPECT_FALSE(launcherState().autoUpdateStarted);

    launcherState().autoUpdateStarted = true;
    SetStatus(Updating, "Installing update", "Staging verified files", 0.01f);
    SetStatus(Error, "Update failed", "x", 0.0f);
    EXPECT_TRUE(launcherState().autoUpdateStarted);
    launcherState().autoUpdateStarted = false;
}

TEST(ChangeSignature, ListsTheVisibleFieldsInTheirFixedOrder) {
    LauncherState state;
    state.phase = UpdateAvailable;
    state.title = "Update available";
    state.detail = "3 files ready to install";
    state.progress = 0.4567f;
    state.statusLine = "Log in to start the download.";
    state.connecting = true;
    state.loggedIn = false;
    state.accountName = "Ember";
    EXPECT_EQ(changeSignature(state), "2|Update available|3 files ready to install|456|Log in to start the download.|10Ember");
}

TEST(ChangeSignature, IgnoresProgressChangesBelowOneThousandth) {
    LauncherState state;
    state.progress = 0.5001f;
    const std::string before = changeSignature(state);
    state.progress = 0.5008f;
    EXPECT_EQ(changeSignature(state), before);
    state.progress = 0.5012f;
    EXPECT_NE(changeSignature(state), before);
}

TEST(Snapshot, HidesTheAccountNameUnlessLoggedInAndClampsThePhase) {
    LauncherState state;
    state.accountName = "Ember";
    state.phase = static_cast<LauncherPhase>(9);
    LauncherView view = snapshot(state);
    EXPECT_EQ(view.accountName, "");
    EXPECT_TRUE(view.showLoginForm);
    EXPECT_EQ(view.phase, Error);
    state.loggedIn = true;
    view = snapshot(state);
    EXPECT_EQ(view.accountName, "Ember");
    EXPECT_FALSE(view.showLoginForm);
}

TEST(LauncherState, StartsWithTheBuiltInTextsAndContent) {
    LauncherState state;
    EXPECT_EQ(state.phase, Checking);
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
