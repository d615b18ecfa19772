#include "ui/renderer.h"

#include "base/utf8_paths.h"
#include "tests/support/test_paths.h"
#include "ui/layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace {

void ensureGraphics() {
    static const ULONG_PTR token = startGraphics();
    ASSERT_NE(token, 0u);
}

// A 32-bit top-down DIB selected into a memory DC: what a frame lands on.
class Surface {
public:
    Surface(int width, int height) : width_(width), height_(height) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        dc_ = CreateCompatibleDC(nullptr);
        bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
        previous_ = SelectObject(dc_, bitmap_);
    }
    ~Surface() {
        SelectObject(dc_, previous_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    Surface(const Surface&) = delete;
    Surface& operator=(const Surface&) = delete;

    bool ok() const { return dc_ != nullptr && bitmap_ != nullptr && bits_ != nullptr; }
    HDC dc() const { return dc_; }
    // 0xRRGGBB of a pixel.
    std::uint32_t rgb(int x, int y) const {
        GdiFlush();
        return bits_[static_cast<std::size_t>(y) * width_ + x] & 0xFFFFFFu;
    }
    void fill(std::uint32_t rgb) {
        GdiFlush();
        std::fill(bits_, bits_ + static_cast<std::size_t>(width_) * height_, rgb);
    }
    // Pixels whose colour differs from the same pixel of another surface of this size.
    int differingPixels(const Surface& other) const {
        GdiFlush();
        int count = 0;
        for (std::size_t i = 0; i < static_cast<std::size_t>(width_) * height_; ++i)
            if ((bits_[i] & 0xFFFFFFu) != (other.bits_[i] & 0xFFFFFFu)) ++count;
        return count;
    }
    // Pixels in a rectangle whose red channel is above a threshold.
    int brightPixels(int x0, int y0, int x1, int y1, int red) const {
        int count = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                if (((rgb(x, y) >> 16) & 0xFF) > static_cast<std::uint32_t>(red)) ++count;
        return count;
    }

private:
    int width_;
    int height_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
    std::uint32_t* bits_ = nullptr;
};

std::uint32_t rgbOf(std::uint32_t argb) { return argb & 0xFFFFFFu; }

// Each channel within tolerance.
::testing::AssertionResult closeTo(std::uint32_t actual, std::uint32_t expected, int tolerance = 4) {
    for (int shift : {16, 8, 0}) {
        const int a = static_cast<int>((actual >> shift) & 0xFF);
        const int e = static_cast<int>((expected >> shift) & 0xFF);
        if (std::abs(a - e) > tolerance) {
            char text[96];
            std::snprintf(text, sizeof text, "pixel %06X, expected %06X (±%d)", actual, expected, tolerance);
            return ::testing::AssertionFailure() << text;
        }
    }
    return ::testing::AssertionSuccess();
}

std::uint32_t mix(std::uint32_t from, std::uint32_t to, double t) {
    std::uint32_t out = 0;
    for (int shift : {16, 8, 0}) {
        const double a = (from >> shift) & 0xFF;
        const double b = (to >> shift) & 0xFF;
        out |= static_cast<std::uint32_t>(a + (b - a) * t + 0.5) << shift;
    }
    return out;
}

// The face of an enabled, unhovered button at pixel row y (face from top to top + height).
std::uint32_t faceAt(std::uint32_t base, bool enabled, bool hovered, bool pressed, double top, double height, int y) {
    const ButtonColors colors = buttonColors(base, enabled, hovered, pressed);
    return mix(rgbOf(colors.top), rgbOf(colors.bottom), (y + 0.5 - top) / height);
}

LauncherView viewFor(LauncherPhase phase, float progress) {
    LauncherView view;
    view.phase = phase;
    view.title = "Game is ready";
    view.detail = "Release 7";
    view.progress = progress;
    view.newsCards = LauncherState::builtInNews();
    view.patchNotes = LauncherState::builtInPatchNotes();
    return view;
}

class Renderer : public ::testing::Test {
protected:
    void SetUp() override { ensureGraphics(); }
    void render(const LauncherView& view, int width = 1664, int height = 940) {
        renderFrame(surface.dc(), width, height, view, background);
    }
    Surface surface{1664, 940};
    BackgroundImage background;  // none: the canvas shows the clear colour
};

TEST_F(Renderer, DrawsThePlayButtonAndAFullBarWhenReady) {
    ASSERT_TRUE(surface.ok());
    render(viewFor(LauncherPhase::Ready, 1.0f));
    // The face floats 4 units above its place: 796 .. 876.
    EXPECT_TRUE(closeTo(surface.rgb(1340, 836), faceAt(colorRed, true, false, false, 796, 80, 836)));
    EXPECT_TRUE(closeTo(surface.rgb(1340, 800), faceAt(colorRed, true, false, false, 796, 80, 800)));
    EXPECT_TRUE(closeTo(surface.rgb(700, 854), rgbOf(colorGold), 1));
    EXPECT_TRUE(closeTo(surface.rgb(1285, 854), rgbOf(colorGold), 1));
}

TEST_F(Renderer, FillsHalfTheProgressTrackForAnUpdate) {
    render(viewFor(LauncherPhase::UpdateAvailable, 0.5f));
    EXPECT_TRUE(closeTo(surface.rgb(700, 854), rgbOf(colorGold), 1));
    EXPECT_TRUE(closeTo(surface.rgb(975, 854), rgbOf(colorGold), 1));  // fill ends at 666 + 312 = 978
    EXPECT_TRUE(closeTo(surface.rgb(981, 854), rgbOf(colorProgressTrack), 1));
    EXPECT_TRUE(closeTo(surface.rgb(1285, 854), rgbOf(colorProgressTrack), 1));
    EXPECT_TRUE(closeTo(surface.rgb(1340, 836), faceAt(colorRed, true, false, false, 796, 80, 836)));
}

TEST_F(Renderer, DrawsNoFillAtZeroProgress) {
    render(viewFor(LauncherPhase::UpdateAvailable, 0.0f));
    EXPECT_TRUE(closeTo(surface.rgb(667, 854), rgbOf(colorProgressTrack), 1));
}

TEST_F(Renderer, DrawsTheRetryButtonInBrightRedOnError) {
    render(viewFor(LauncherPhase::Error, 0.0f));
    EXPECT_TRUE(closeTo(surface.rgb(1340, 836), faceAt(colorBrightRed, true, false, false, 796, 80, 836)));
    EXPECT_TRUE(closeTo(surface.rgb(1600, 860), faceAt(colorBrightRed, true, false, false, 796, 80, 860)));
    EXPECT_FALSE(closeTo(surface.rgb(1340, 836), faceAt(colorRed, true, false, false, 796, 80, 836), 2));
}

TEST_F(Renderer, DrawsBusyPhasesFlatAndMuted) {
    for (LauncherPhase phase : {LauncherPhase::Checking, LauncherPhase::Updating}) {
        render(viewFor(phase, 0.3f));
        // No lift: the face spans 800 .. 880, and no shadow lies beyond it.
        EXPECT_TRUE(closeTo(surface.rgb(1340, 840), faceAt(colorButtonDisabled, false, false, false, 800, 80, 840)));
        EXPECT_TRUE(closeTo(surface.rgb(1340, 798), rgbOf(colorPanel), 1)) << static_cast<int>(phase);
        EXPECT_TRUE(closeTo(surface.rgb(1617, 884), rgbOf(colorPanel), 1)) << static_cast<int>(phase);
    }
    render(viewFor(LauncherPhase::Ready, 0.3f));
    EXPECT_FALSE(closeTo(surface.rgb(1617, 884), rgbOf(colorPanel), 1));  // the shadow of a raised button
}

TEST_F(Renderer, SinksAPressedButtonAndBrightensAHoveredOne) {
    LauncherView view = viewFor(LauncherPhase::Ready, 1.0f);
    view.pressedHit = HitMainButton;
    view.hoverHit = HitMainButton;
    render(view);
    // Pressed: the face spans 803 .. 883 in the darker pressed colours.
    EXPECT_TRUE(closeTo(surface.rgb(1340, 798), rgbOf(colorPanel), 1));
    EXPECT_TRUE(closeTo(surface.rgb(1340, 840), faceAt(colorRed, true, true, true, 803, 80, 840)));
    view.pressedHit = HitNone;
    render(view);
    EXPECT_TRUE(closeTo(surface.rgb(1340, 840), faceAt(colorRed, true, true, false, 796, 80, 840)));
    EXPECT_TRUE(closeTo(surface.rgb(1328, 840), rgbOf(colorParchment), 2));  // the hovered border
}

TEST_F(Renderer, FillsTheActiveTabWithItsGradientAndAccentBar) {
    LauncherView view = viewFor(LauncherPhase::Ready, 1.0f);
    render(view);
    // HOME: gradient from (40, 0) to (278, 0), accent bar 40 .. 46.
    EXPECT_TRUE(
        closeTo(surface.rgb(100, 212), mix(rgbOf(colorActiveTabLeft), rgbOf(colorActiveTabRight), 60.5 / 238), 5));
    EXPECT_TRUE(
        closeTo(surface.rgb(260, 212), mix(rgbOf(colorActiveTabLeft), rgbOf(colorActiveTabRight), 220.5 / 238), 5));
    EXPECT_TRUE(closeTo(surface.rgb(42, 240), rgbOf(colorRed), 1));
    EXPECT_TRUE(closeTo(surface.rgb(100, 282), rgbOf(colorNavigation), 1));  // NEWS is not active
    view.navTab = 1;
    view.hoverHit = HitPatchNotesTab;
    render(view);
    EXPECT_TRUE(
        closeTo(surface.rgb(100, 282), mix(rgbOf(colorActiveTabLeft), rgbOf(colorActiveTabRight), 60.5 / 238), 5));
    EXPECT_TRUE(closeTo(surface.rgb(100, 212), rgbOf(colorNavigation), 1));
    EXPECT_TRUE(closeTo(surface.rgb(100, 350), rgbOf(colorTabHover), 1));
}

TEST_F(Renderer, CoversTheWholeContentAreaOnNewsAndOnlyTheCardOnHome) {
    LauncherView view = viewFor(LauncherPhase::Ready, 1.0f);
    render(view);
    EXPECT_TRUE(closeTo(surface.rgb(700, 600), rgbOf(colorCanvas), 1));  // the illustration's place
    EXPECT_TRUE(closeTo(surface.rgb(1140, 720), rgbOf(colorPanel), 1));  // the latest-patch card
    EXPECT_TRUE(closeTo(surface.rgb(1149, 460), rgbOf(colorRed), 1));    // its accent bar
    view.navTab = 1;
    render(view);
    EXPECT_TRUE(closeTo(surface.rgb(700, 720), rgbOf(colorPanel), 1));
    view.navTab = 0;
    view.patchNotes.clear();
    render(view);
    EXPECT_TRUE(closeTo(surface.rgb(1140, 720), rgbOf(colorCanvas), 1));  // no card without patch notes
}

TEST_F(Renderer, ShowsTheLoginFormOrTheSignedInLines) {
    LauncherView view = viewFor(LauncherPhase::Ready, 1.0f);
    render(view);
    EXPECT_TRUE(closeTo(surface.rgb(61, 722), rgbOf(colorGold), 1));     // "Remember my name" ticked
    EXPECT_TRUE(closeTo(surface.rgb(200, 630), rgbOf(colorCanvas), 1));  // account box
    EXPECT_TRUE(closeTo(surface.rgb(60, 760), faceAt(colorRed, true, false, false, 736, 40, 760)));  // LOG IN
    view.rememberName = false;
    render(view);
    EXPECT_FALSE(closeTo(surface.rgb(61, 722), rgbOf(colorGold), 20));
    view.connecting = true;
    render(view);
    EXPECT_TRUE(closeTo(surface.rgb(60, 760), faceAt(colorRed, false, false, false, 740, 40, 760)));  // flat, disabled
    view.showLoginForm = false;
    view.accountName = "Ember";
    render(view);
    EXPECT_TRUE(closeTo(surface.rgb(200, 630), rgbOf(colorCanvas), 1));  // no panel: the canvas
    EXPECT_GT(surface.brightPixels(44, 776, 264, 806, 0xC0), 20);        // the name
}

TEST_F(Renderer, DrawsItsTexts) {
    render(viewFor(LauncherPhase::Ready, 1.0f));
    EXPECT_GT(surface.brightPixels(34, 52, 284, 98, 0xC0), 200);      // "TINDER"
    EXPECT_GT(surface.brightPixels(326, 807, 656, 843, 0xC0), 50);    // the status title
    EXPECT_GT(surface.brightPixels(1232, 827, 1290, 855, 0xC0), 20);  // "100%"
}

TEST_F(Renderer, ShrinksALongDetailUntilItsLastWordsFit) {
    Gdiplus::Graphics graphics(surface.dc());
    DrawContext context{&graphics};
    const Gdiplus::RectF detail(666, 805, 640, 34);
    EXPECT_EQ(fittingTextSize(context, "Release 7", detail, 17, 13, Gdiplus::FontStyleRegular), 17);

    const std::string longError =
        "Could not replace C:\\Users\\Brannoc\\AppData\\Local\\Tinderhallow\\data/textures/arena_rocks.pak "
        "(Windows error 5). Close the game and retry.";
    const float size = fittingTextSize(context, longError, detail, 17, 13, Gdiplus::FontStyleRegular);
    EXPECT_LT(size, 17);
    EXPECT_GE(size, 13);
    const std::wstring wide = utf8ToWide(longError);
    Gdiplus::StringFormat format;
    Gdiplus::RectF bounds;
    ASSERT_EQ(graphics.MeasureString(wide.c_str(), static_cast<INT>(wide.size()), getFont(size, 0),
                                     Gdiplus::RectF(0, 0, 640, 100000), &format, &bounds),
              Gdiplus::Ok);
    EXPECT_LE(bounds.Height, 34);

    // A text that cannot fit at all keeps the smallest size.
    EXPECT_EQ(fittingTextSize(context, std::string(2000, 'x') + " y", detail, 17, 13, Gdiplus::FontStyleRegular), 13);
}

TEST_F(Renderer, ScalesTheDesignToTheClientArea) {
    Surface half(832, 470);
    renderFrame(half.dc(), 832, 470, viewFor(LauncherPhase::Ready, 1.0f), background);
    EXPECT_TRUE(closeTo(half.rgb(670, 418), faceAt(colorRed, true, false, false, 398, 40, 418), 6));
    EXPECT_TRUE(closeTo(half.rgb(350, 427), rgbOf(colorGold), 2));
}

TEST_F(Renderer, PaintsTheIllustrationBehindThePanelsAndKeepsItsScaledCopy) {
    ASSERT_TRUE(loadImageFromFile(background, sourceDir() / "ui" / "assets" / "emberwarden_launcher_ledger.png"));
    render(viewFor(LauncherPhase::Ready, 1.0f));
    EXPECT_EQ(background.scaledWidth, 1664);
    EXPECT_EQ(background.scaledHeight, 940);
    Gdiplus::Bitmap* scaled = background.scaled.get();
    ASSERT_NE(scaled, nullptr);
    // The open area of HOME shows the picture, not the clear colour.
    int differing = 0;
    for (int x = 320; x < 1100; x += 20)
        for (int y = 450; y < 720; y += 20)
            if (!closeTo(surface.rgb(x, y), rgbOf(colorCanvas), 3)) ++differing;
    EXPECT_GT(differing, 100);
    Gdiplus::Color expected;
    scaled->GetPixel(700, 600, &expected);
    EXPECT_TRUE(closeTo(surface.rgb(700, 600), expected.GetValue() & 0xFFFFFF, 2));
    render(viewFor(LauncherPhase::Ready, 1.0f));
    EXPECT_EQ(background.scaled.get(), scaled);  // same size: no resampling
    Surface half(832, 470);
    renderFrame(half.dc(), 832, 470, viewFor(LauncherPhase::Ready, 1.0f), background);
    EXPECT_EQ(background.scaledWidth, 832);
    EXPECT_EQ(background.scaledHeight, 470);
    releaseBackground(background);
}

TEST_F(Renderer, RedrawsWhatChangedSoAKeptFrameLooksLikeOneDrawnWhole) {
    FrameCache cache;
    Surface whole(1664, 940);
    LauncherView view = viewFor(LauncherPhase::Checking, 0.0f);
    view.title = "Checking installed files";
    view.detail = "Preparing your arena loadout";
    struct Step {
        const char* what;
        void (*change)(LauncherView&, BackgroundImage&);
    };
    const Step steps[] = {
        {"first frame", [](LauncherView&, BackgroundImage&) {}},
        {"the same again", [](LauncherView&, BackgroundImage&) {}},
        {"hover on NEWS", [](LauncherView& v, BackgroundImage&) { v.hoverHit = HitNewsTab; }},
        {"progress and detail",
         [](LauncherView& v, BackgroundImage&) {
             v.progress = 0.5f;
             v.detail = "3 of 12 files";
         }},
        {"Ready",
         [](LauncherView& v, BackgroundImage&) {
             v.phase = LauncherPhase::Ready;
             v.title = "Game is ready";
         }},
        {"NEWS open", [](LauncherView& v, BackgroundImage&) { v.navTab = 1; }},
        {"new news", [](LauncherView& v, BackgroundImage&) { v.newsCards.front().title = "Ashfall Trials begin"; }},
        {"PATCH NOTES open", [](LauncherView& v, BackgroundImage&) { v.navTab = 2; }},
        {"new patch notes",
         [](LauncherView& v, BackgroundImage&) {
             v.patchNotes.front().lines.front() = "Embers now drift with the wind";
         }},
        {"HOME open",
         [](LauncherView& v, BackgroundImage&) {
             v.navTab = 0;
             v.hoverHit = HitHomeTab;
         }},
        {"another latest patch", [](LauncherView& v, BackgroundImage&) { v.patchNotes.front().title = "Patch 9.9"; }},
        {"a login message",
         [](LauncherView& v, BackgroundImage&) { v.statusLine = "Enter your account name and password."; }},
        {"name not remembered", [](LauncherView& v, BackgroundImage&) { v.rememberName = false; }},
        {"connecting", [](LauncherView& v, BackgroundImage&) { v.connecting = true; }},
        {"hover on LOG IN, PLAY pressed",
         [](LauncherView& v, BackgroundImage&) {
             v.connecting = false;
             v.hoverHit = HitLogIn;
             v.pressedHit = HitMainButton;
         }},
        {"signed in",
         [](LauncherView& v, BackgroundImage&) {
             v.showLoginForm = false;
             v.accountName = "Ember";
             v.pressedHit = HitNone;
         }},
        {"another account", [](LauncherView& v, BackgroundImage&) { v.accountName = "Brannoc"; }},
        {"signed out",
         [](LauncherView& v, BackgroundImage&) {
             v.showLoginForm = true;
             v.accountName.clear();
             v.statusLine.clear();
         }},
        {"the picture arrives",
         [](LauncherView&, BackgroundImage& b) {
             ASSERT_TRUE(loadImageFromFile(b, sourceDir() / "ui" / "assets" / "emberwarden_launcher_ledger.png"));
         }},
        {"hover on REPAIR", [](LauncherView& v, BackgroundImage&) { v.hoverHit = HitRepair; }},
    };
    for (const Step& step : steps) {
        step.change(view, background);
        renderFrame(surface.dc(), 1664, 940, view, background, cache);
        renderFrame(whole.dc(), 1664, 940, view, background);
        EXPECT_EQ(surface.differingPixels(whole), 0) << step.what;
    }
    releaseBackground(background);
}

// A frame covers exactly the client area it is given, and an empty one
// still gets a pixel.
TEST_F(Renderer, DrawsOnAnAnyClientSizeDownToOnePixel) {
    constexpr std::uint32_t untouched = 0x00FF00;  // no colour of the launcher
    Surface small(6, 5);
    ASSERT_TRUE(small.ok());
    const std::pair<int, int> sizes[] = {{0, 0}, {1, 1}, {3, 2}, {1, 4}};
    for (const auto& [width, height] : sizes) {
        small.fill(untouched);
        renderFrame(small.dc(), width, height, viewFor(LauncherPhase::Error, 0.5f), background);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 6; ++x)
                EXPECT_EQ(small.rgb(x, y) != untouched, x < std::max(width, 1) && y < std::max(height, 1))
                    << width << "x" << height << " at " << x << "," << y;
    }
}

}  // namespace
