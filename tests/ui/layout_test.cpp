#include "ui/layout.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

// --- Hit table -------------------------------------------------------------

TEST(HitTable, ListsTheRegionsInTheirTestingOrder) {
    const HitCode expected[] = {HitLogIn,   HitCreateAccount, HitRememberName, HitSwitchAccount, HitHomeTab,
                                HitNewsTab, HitPatchNotesTab, HitCommunityTab, HitMainButton,    HitRepair};
    ASSERT_EQ(kHitRegions.size(), std::size(expected));
    for (std::size_t i = 0; i < kHitRegions.size(); ++i) EXPECT_EQ(kHitRegions[i].code, expected[i]) << i;
}

TEST(HitTable, FindsEachRegionAtItsCentre) {
    EXPECT_EQ(hitTestDesign(1472, 840, true, false), HitMainButton);
    EXPECT_EQ(hitTestDesign(491, 779, true, false), HitRepair);
    EXPECT_EQ(hitTestDesign(158, 760, true, false), HitLogIn);
    EXPECT_EQ(hitTestDesign(158, 799, true, false), HitCreateAccount);
    EXPECT_EQ(hitTestDesign(158, 722, true, false), HitRememberName);
    EXPECT_EQ(hitTestDesign(154, 820, false, true), HitSwitchAccount);
    EXPECT_EQ(hitTestDesign(159, 239, true, false), HitHomeTab);
    EXPECT_EQ(hitTestDesign(159, 309, true, false), HitNewsTab);
    EXPECT_EQ(hitTestDesign(159, 378, true, false), HitPatchNotesTab);
    EXPECT_EQ(hitTestDesign(159, 447, true, false), HitCommunityTab);
    EXPECT_EQ(hitTestDesign(800, 300, true, false), HitNone);
}

TEST(HitTable, IncludesEveryEdgeOfARegion) {
    // Main button 1328, 800, 288, 80.
    EXPECT_EQ(hitTestDesign(1328, 800, true, false), HitMainButton);
    EXPECT_EQ(hitTestDesign(1616, 880, true, false), HitMainButton);
    EXPECT_EQ(hitTestDesign(1327.9f, 840, true, false), HitNone);
    EXPECT_EQ(hitTestDesign(1616.1f, 840, true, false), HitNone);
    EXPECT_EQ(hitTestDesign(1472, 880.1f, true, false), HitNone);
    // REPAIR 420, 758, 142, 43.
    EXPECT_EQ(hitTestDesign(420, 758, true, false), HitRepair);
    EXPECT_EQ(hitTestDesign(562, 801, true, false), HitRepair);
}

TEST(HitTable, LetsTheEarlierRegionWinWhereTwoOverlap) {
    // "Create an account" (786..812) and "Not you? Switch account" (806..834)
    // share rows; with both gates open the earlier entry wins.
    EXPECT_EQ(hitTestDesign(100, 810, true, true), HitCreateAccount);
    EXPECT_EQ(hitTestDesign(100, 820, true, true), HitSwitchAccount);
}

TEST(HitTable, GatesTheLoginRegionsByLoginState) {
    // Signed in: the form's regions are gone, the switch link is live.
    EXPECT_EQ(hitTestDesign(158, 760, false, true), HitNone);
    EXPECT_EQ(hitTestDesign(158, 799, false, true), HitNone);
    EXPECT_EQ(hitTestDesign(158, 722, false, true), HitNone);
    // Signed out: the switch link is not there; its rows below the create
    // link hit nothing.
    EXPECT_EQ(hitTestDesign(100, 830, true, false), HitNone);
    EXPECT_EQ(hitTestDesign(100, 830, false, true), HitSwitchAccount);
    // Tabs and buttons answer in both states.
    EXPECT_EQ(hitTestDesign(159, 239, false, true), HitHomeTab);
    EXPECT_EQ(hitTestDesign(1472, 840, false, true), HitMainButton);
}

// --- Scale and window size -------------------------------------------------

TEST(DesignScale, MapsTheClientAreaOntoTheCanvasAndTreatsTinySizesAsOne) {
    const DesignScale full = designScale(1664, 940);
    EXPECT_FLOAT_EQ(full.sx, 1.0f);
    EXPECT_FLOAT_EQ(full.sy, 1.0f);
    const DesignScale half = designScale(832, 470);
    EXPECT_FLOAT_EQ(half.sx, 0.5f);
    EXPECT_FLOAT_EQ(half.sy, 0.5f);
    const DesignScale tiny = designScale(0, 1);
    EXPECT_FLOAT_EQ(tiny.sx, 1.0f / 1664.0f);
    EXPECT_FLOAT_EQ(tiny.sy, 1.0f / 940.0f);
}

TEST(WindowSize, IsExactlyTheCanvasOnALargeWorkArea) {
    const ClientSize size = clientSizeForWorkArea(2560, 1400, 16, 39);
    EXPECT_EQ(size.width, 1664);
    EXPECT_EQ(size.height, 940);
}

TEST(WindowSize, TakesNinetySixPercentOfTheLimitingDimensionOnASmallWorkArea) {
    // 1366 × 728 work area, frame 16 × 39: by height (689 · 0.96 / 940 = 0.7037)
    // is below by width (1350 · 0.96 / 1664 = 0.7788).
    const ClientSize byHeight = clientSizeForWorkArea(1366, 728, 16, 39);
    EXPECT_EQ(byHeight.width, 1170);  // trunc(0.70366 · 1664)
    EXPECT_EQ(byHeight.height, 661);  // trunc(0.70366 · 940)
    // A narrow one limits by width: (1200 − 16) · 0.96 / 1664 = 0.68308.
    const ClientSize byWidth = clientSizeForWorkArea(1200, 1200, 16, 39);
    EXPECT_EQ(byWidth.width, 1136);
    EXPECT_EQ(byWidth.height, 642);
}

TEST(WindowSize, GrowsWithTheMonitorScaleUpToTheCanvasAtThatScale) {
    // 144 DPI (150 %): the canvas at 1.5 on a large work area, the usual 96 %
    // rule on a smaller one; sizes are physical pixels.
    const ClientSize large = clientSizeForWorkArea(3840, 2100, 24, 58, 144);
    EXPECT_EQ(large.width, 2496);
    EXPECT_EQ(large.height, 1410);
    // (1080 − 58) · 0.96 / 940 = 1.04375 is below 1.5 and below by width.
    const ClientSize laptop = clientSizeForWorkArea(1920, 1080, 24, 58, 144);
    EXPECT_EQ(laptop.width, 1736);
    EXPECT_EQ(laptop.height, 981);
}

TEST(EditControls, SitInsideTheirBoxesScaledToTheClient) {
    const PixelRect full = editControlRect(kAccountBoxRect, designScale(1664, 940));
    EXPECT_EQ(full.x, 58);
    EXPECT_EQ(full.y, 619);
    EXPECT_EQ(full.width, 200);
    EXPECT_EQ(full.height, 22);
    const PixelRect half = editControlRect(kPasswordBoxRect, designScale(832, 470));
    EXPECT_EQ(half.x, 29);
    EXPECT_EQ(half.y, 337);
    EXPECT_EQ(half.width, 100);
    EXPECT_EQ(half.height, 11);
    EXPECT_EQ(editFontHeight(designScale(1664, 940)), -17);
    EXPECT_EQ(editFontHeight(designScale(1170, 661)), -11);  // −17 · 0.7032 = −11.95, truncated
}

// --- Status bar ------------------------------------------------------------

TEST(Percentage, RoundsHalfUp) {
    EXPECT_EQ(percentageText(0.0f), "0%");
    EXPECT_EQ(percentageText(0.5f), "50%");
    EXPECT_EQ(percentageText(0.994f), "99%");
    EXPECT_EQ(percentageText(0.996f), "100%");
    EXPECT_EQ(percentageText(1.0f), "100%");
}

TEST(Percentage, ShowsALeadingMinusForANegativeValue) {
    EXPECT_EQ(percentageText(-0.5f), "-49%");  // trunc(−50 + 0.5)
    EXPECT_EQ(percentageText(-1.0f), "-99%");
}

TEST(ProgressFill, IsAShareOfTheTrackClampedToIt) {
    EXPECT_FLOAT_EQ(progressFillWidth(0.0f), 0.0f);
    EXPECT_FLOAT_EQ(progressFillWidth(0.5f), 312.0f);
    EXPECT_FLOAT_EQ(progressFillWidth(1.0f), 624.0f);
    EXPECT_FLOAT_EQ(progressFillWidth(1.5f), 624.0f);
    EXPECT_FLOAT_EQ(progressFillWidth(-0.2f), 0.0f);
}

TEST(MainButton, FollowsThePhase) {
    const struct {
        LauncherPhase phase;
        const char* label;
        std::uint32_t base;
        bool enabled;
    } cases[] = {
        {LauncherPhase::Checking, "CHECKING", 0xFF4B2F1E, false},
        {LauncherPhase::Ready, "PLAY", colorRed, true},
        {LauncherPhase::UpdateAvailable, "UPDATE", colorRed, true},
        {LauncherPhase::Updating, "UPDATING", 0xFF4B2F1E, false},
        {LauncherPhase::Error, "RETRY", colorBrightRed, true},
    };
    for (const auto& c : cases) {
        const MainButtonStyle style = mainButtonFor(c.phase);
        EXPECT_STREQ(style.label, c.label);
        EXPECT_EQ(style.base, c.base) << c.label;
        EXPECT_EQ(style.enabled, c.enabled) << c.label;
    }
    EXPECT_STREQ(mainButtonFor(static_cast<LauncherPhase>(9)).label, "RETRY");
}

// --- Button colours --------------------------------------------------------

TEST(ButtonColours, BrightenTheTopAndDarkenTheBottomOfAnEnabledButton) {
    // colorRed = (185, 48, 22).
    const ButtonColors plain = buttonColors(colorRed, true, false, false);
    EXPECT_EQ(plain.top, 0xFFDF563Cu);     // 185+38, 48+38, 22+38
    EXPECT_EQ(plain.bottom, 0xFF9F1600u);  // 185−26, 48−26, 22−26 → 0
}

TEST(ButtonColours, LightenWhenHoveredAndDarkenWhenPressed) {
    const ButtonColors hovered = buttonColors(colorRed, true, true, false);
    EXPECT_EQ(hovered.top, 0xFFF97056u);     // +26+38: 249, 112, 86
    EXPECT_EQ(hovered.bottom, 0xFFB93016u);  // +26−26: the base itself
    const ButtonColors pressed = buttonColors(colorRed, true, true, true);
    EXPECT_EQ(pressed.top, 0xFFCD442Au);     // −18+38: 205, 68, 42
    EXPECT_EQ(pressed.bottom, 0xFF8D0400u);  // −18−26: 141, 4, 0
}

TEST(ButtonColours, IgnoreHoverAndPressOnADisabledButton) {
    // 0xFF4B2F1E = (75, 47, 30): top +8, bottom −26.
    const ButtonColors disabled = buttonColors(colorButtonDisabled, false, true, true);
    EXPECT_EQ(disabled.top, 0xFF533726u);
    EXPECT_EQ(disabled.bottom, 0xFF311504u);
}

TEST(ButtonColours, ClampEveryChannelToAByte) {
    const ButtonColors bright = buttonColors(0xFFF0F0F0, true, true, false);
    EXPECT_EQ(bright.top, 0xFFFFFFFFu);
    const ButtonColors dark = buttonColors(0xFF101010, true, false, true);
    EXPECT_EQ(dark.bottom, 0xFF000000u);
}

TEST(ButtonGeometry, FloatsWhenEnabledAndSinksWhenPressed) {
    EXPECT_FLOAT_EQ(buttonLift(true, false), 4.0f);
    EXPECT_FLOAT_EQ(buttonLift(true, true), 0.0f);
    EXPECT_FLOAT_EQ(buttonLift(false, false), 0.0f);
    EXPECT_FLOAT_EQ(buttonFaceY(800, true, false), 796.0f);
    EXPECT_FLOAT_EQ(buttonFaceY(800, true, true), 803.0f);
    EXPECT_FLOAT_EQ(buttonFaceY(800, false, true), 803.0f);  // a disabled button still sinks
    EXPECT_FLOAT_EQ(buttonFaceY(800, false, false), 800.0f);
}

// --- Content panels --------------------------------------------------------

TEST(NewsPanel, FitsTwoCards) {
    const std::vector<float> tops = newsCardTops(3);
    ASSERT_EQ(tops.size(), 2u);  // a third would start at 692, past 690
    EXPECT_FLOAT_EQ(tops[0], 500.0f);
    EXPECT_FLOAT_EQ(tops[1], 596.0f);
    EXPECT_EQ(newsCardTops(1).size(), 1u);
    EXPECT_TRUE(newsCardTops(0).empty());
}

TEST(PatchNotesPanel, ShowsSevenLinesOfALongFirstEntry) {
    const std::vector<PatchNotesEntry> entries{{"Big", std::vector<std::string>(10, "line")}, {"Next", {"a"}}};
    const std::vector<PatchNotesRow> rows = patchNotesRows(entries);
    ASSERT_EQ(rows.size(), 8u);  // the title and lines at 532 .. 700; nothing of the second entry
    EXPECT_EQ(rows[0].line, -1);
    EXPECT_FLOAT_EQ(rows[0].y, 500.0f);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(rows[1 + i].entry, 0u);
        EXPECT_EQ(rows[1 + i].line, i);
        EXPECT_FLOAT_EQ(rows[1 + i].y, 532.0f + 28.0f * i);
    }
}

TEST(PatchNotesPanel, StartsNoEntryPastTheLimit) {
    // Entry one: title 500, lines 532 .. 644 (5 lines), then y = 672 + 14 = 686:
    // the second entry starts (686 ≤ 690), its title at 686, its line at 718 does not fit.
    const std::vector<PatchNotesEntry> entries{
        {"One", std::vector<std::string>(5, "x")}, {"Two", {"y"}}, {"Three", {"z"}}};
    const std::vector<PatchNotesRow> rows = patchNotesRows(entries);
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows[6].entry, 1u);
    EXPECT_EQ(rows[6].line, -1);
    EXPECT_FLOAT_EQ(rows[6].y, 686.0f);
    // One more line pushes the second entry to 714: it is not started.
    const std::vector<PatchNotesEntry> longer{{"One", std::vector<std::string>(6, "x")}, {"Two", {"y"}}};
    const std::vector<PatchNotesRow> fewer = patchNotesRows(longer);
    ASSERT_EQ(fewer.size(), 7u);
    EXPECT_EQ(fewer.back().entry, 0u);
}

TEST(HomeCard, ShowsFiveLinesAndCountsTheRest) {
    EXPECT_EQ(homePatchLineCount(7), 5u);
    EXPECT_EQ(homePatchLineCount(5), 5u);
    EXPECT_EQ(homePatchLineCount(3), 3u);
    EXPECT_EQ(homeMoreNote(7), "+ 2 more in Patch Notes");
    EXPECT_EQ(homeMoreNote(6), "+ 1 more in Patch Notes");
    EXPECT_EQ(homeMoreNote(5), "");
    EXPECT_EQ(homeMoreNote(0), "");
}

// --- Website and title -----------------------------------------------------

TEST(WebsiteAddress, DropsAPlayHostLabelAfterTheScheme) {
    EXPECT_EQ(websiteAddressFor("https://play.example.test", "/community", "https://site.test"),
              "https://example.test/community");
    EXPECT_EQ(websiteAddressFor("http://play.127.0.0.1:8080", "/community/register", "https://site.test"),
              "http://127.0.0.1:8080/community/register");
}

TEST(WebsiteAddress, KeepsOtherAddressesUnchanged) {
    EXPECT_EQ(websiteAddressFor("https://api.example.test", "/community", "https://site.test"),
              "https://api.example.test/community");
    EXPECT_EQ(websiteAddressFor("https://example.test/play.x", "/community", "https://site.test"),
              "https://example.test/play.x/community");
    EXPECT_EQ(websiteAddressFor("play.example.test", "/community", "https://site.test"), "play.example.test/community");
}

TEST(WebsiteAddress, UsesTheBuiltInWebsiteForAnEmptyAddress) {
    EXPECT_EQ(websiteAddressFor("", "/community", "https://site.test"), "https://site.test/community");
    EXPECT_EQ(websiteAddressFor("", "/community/register"), std::string(kWebsiteUrl) + "/community/register");
    EXPECT_EQ(websiteAddressFor(kDefaultServerUrl, "/community"), "https://tinderhallow.example/community");
}

TEST(WindowTitle, CarriesTheBuildStampAfterTheProductName) {
    EXPECT_EQ(windowTitleFor("Mar  5 2025", "07:04:09"), "Tinderhallow Launcher  -  build Mar  5 2025 07:04:09");
    EXPECT_TRUE(std::regex_match(launcherWindowTitle(),
                                 std::regex("Tinderhallow Launcher  -  build [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} "
                                            "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]")))
        << launcherWindowTitle();
}

}  // namespace
