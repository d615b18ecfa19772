#pragma once
// The launcher's layout and the drawing decisions that need no device:
// design-canvas geometry shared by the painter and the window, the hit
// table, the window size, and the small rules behind what a frame shows.

#include "base/product.h"
#include "ui/launcher_state.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Everything is laid out on this canvas and scaled to the client area.
inline constexpr float kDesignWidth = 1664.0f;
inline constexpr float kDesignHeight = 940.0f;

struct DesignRect {
    float x = 0;
    float y = 0;
    float w = 0;
    float h = 0;
};

// Edges included.
constexpr bool containsPoint(const DesignRect& r, float px, float py) {
    return r.x <= px && px <= r.x + r.w && r.y <= py && py <= r.y + r.h;
}

// Palette (ARGB).
inline constexpr std::uint32_t colorPanel = 0xFF100C0A;
inline constexpr std::uint32_t colorTabPiece = 0xFF1B120D;
inline constexpr std::uint32_t colorGold = 0xFFD3A14A;
inline constexpr std::uint32_t colorBronze = 0xFF7F5B2A;
inline constexpr std::uint32_t colorParchment = 0xFFF4DBA9;
inline constexpr std::uint32_t colorMuted = 0xFFC7AA77;
inline constexpr std::uint32_t colorRed = 0xFFB93016;
inline constexpr std::uint32_t colorBrightRed = 0xFFC93A28;
inline constexpr std::uint32_t colorCanvas = 0xFF0C0806;      // clear colour, input boxes
inline constexpr std::uint32_t colorNavigation = 0xFF130E0B;  // navigation column, title plate
inline constexpr std::uint32_t colorProgressTrack = 0xFF412D1B;
inline constexpr std::uint32_t colorButtonDisabled = 0xFF4B2F1E;
inline constexpr std::uint32_t colorActiveTabLeft = 0xFF962812;
inline constexpr std::uint32_t colorActiveTabRight = 0xFF34160D;
inline constexpr std::uint32_t colorTabHover = 0xFF281A11;
inline constexpr std::uint32_t colorTabSeparator = 0xFF34261A;
inline constexpr std::uint32_t colorLoginPanel = 0xEB100C0A;

// Hit codes: the values of hoverHit and pressedHit.
enum HitCode : std::int32_t {
    HitNone = 0,
    HitMainButton = 1,
    HitRepair = 2,
    HitLogIn = 3,
    HitCreateAccount = 4,
    HitRememberName = 5,
    HitSwitchAccount = 6,
    HitHomeTab = 7,
    HitNewsTab = 8,
    HitPatchNotesTab = 9,
    HitCommunityTab = 10,
};

enum class HitGate { LoginForm, LoggedIn, Always };

struct HitRegion {
    HitCode code;
    DesignRect rect;
    HitGate gate;
};

// Shared geometry of the window and the painter.
inline constexpr DesignRect kMainButtonRect{1328, 800, 288, 80};
inline constexpr DesignRect kRepairRect{420, 758, 142, 43};
inline constexpr DesignRect kLogInButtonRect{52, 740, 212, 40};
inline constexpr DesignRect kCreateAccountRect{52, 786, 212, 26};
inline constexpr DesignRect kRememberNameRect{52, 710, 212, 24};
inline constexpr DesignRect kSwitchAccountRect{44, 806, 220, 28};
inline constexpr DesignRect kAccountBoxRect{52, 614, 212, 32};
inline constexpr DesignRect kPasswordBoxRect{52, 670, 212, 32};

struct TabInfo {
    HitCode code;
    const char* label;
    DesignRect rect;
};

inline constexpr std::array<TabInfo, 4> kTabs{{
    {HitHomeTab, "HOME", {40, 207, 238, 64}},
    {HitNewsTab, "NEWS", {40, 277, 238, 64}},
    {HitPatchNotesTab, "PATCH NOTES", {40, 346, 238, 64}},
    {HitCommunityTab, "COMMUNITY", {40, 415, 238, 64}},
}};

// In the order they are tested; the first match wins.
inline constexpr std::array<HitRegion, 10> kHitRegions{{
    {HitLogIn, kLogInButtonRect, HitGate::LoginForm},
    {HitCreateAccount, kCreateAccountRect, HitGate::LoginForm},
    {HitRememberName, kRememberNameRect, HitGate::LoginForm},
    {HitSwitchAccount, kSwitchAccountRect, HitGate::LoggedIn},
    {HitHomeTab, kTabs[0].rect, HitGate::Always},
    {HitNewsTab, kTabs[1].rect, HitGate::Always},
    {HitPatchNotesTab, kTabs[2].rect, HitGate::Always},
    {HitCommunityTab, kTabs[3].rect, HitGate::Always},
    {HitMainButton, kMainButtonRect, HitGate::Always},
    {HitRepair, kRepairRect, HitGate::Always},
}};

// The hit code at a design-canvas point, 0 for none.
HitCode hitTestDesign(float x, float y, bool loginFormShown, bool loggedIn);

// Scale factors from design units to the client area (a size below 2 counts as 1).
struct DesignScale {
    float sx = 1;
    float sy = 1;
};
DesignScale designScale(int clientWidth, int clientHeight);

struct ClientSize {
    int width = 0;
    int height = 0;
};

// 96 % of the work area less the window frame in the limiting dimension,
// keeping the canvas proportion, never larger than the canvas itself at the
// monitor's scale (dpi / 96). Sizes are physical pixels of that monitor.
ClientSize clientSizeForWorkArea(int workWidth, int workHeight, int frameWidth, int frameHeight, unsigned dpi = 96);

struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Where an edit control goes inside its drawn input box.
PixelRect editControlRect(const DesignRect& box, DesignScale scale);
// The edits' font height in logical units (negative: character height).
int editFontHeight(DesignScale scale);

// "57%": progress rounded half up, a leading "-" when negative.
std::string percentageText(float progress);
// Width of the progress fill in design units.
float progressFillWidth(float progress);

struct MainButtonStyle {
    const char* label;
    std::uint32_t base;
    bool enabled;
};
MainButtonStyle mainButtonFor(LauncherPhase phase);

// The raised button's gradient ends, from its base colour and state.
struct ButtonColors {
    std::uint32_t top;
    std::uint32_t bottom;
};
ButtonColors buttonColors(std::uint32_t base, bool enabled, bool hovered, bool pressed);
// How far an enabled, unpressed button floats above its place.
float buttonLift(bool enabled, bool pressed);
// Top edge of the face: pressed buttons sink by 3, others float by the lift.
float buttonFaceY(float y, bool enabled, bool pressed);

// Tops of the news cards that fit the NEWS panel.
std::vector<float> newsCardTops(std::size_t cardCount);

// One drawn row of the PATCH NOTES panel: an entry's title (line < 0) or one of its lines.
struct PatchNotesRow {
    std::size_t entry = 0;
    int line = -1;
    float y = 0;
};
std::vector<PatchNotesRow> patchNotesRows(const std::vector<PatchNotesEntry>& entries);

// HOME's latest-patch card shows this many lines of the first entry.
std::size_t homePatchLineCount(std::size_t lineCount);
// "+ 2 more in Patch Notes", or empty when every line is shown.
std::string homeMoreNote(std::size_t lineCount);

// The website page for a path: the game service address without a leading
// "play." host label, or the website when the address is empty.
std::string websiteAddressFor(std::string_view serverUrl, std::string_view path,
                              std::string_view website = kWebsiteUrl);

// "Tinderhallow Launcher  -  build " + date + " " + time.
std::string windowTitleFor(std::string_view buildDate, std::string_view buildTime);
// The title with this build's own compile date and time.
std::string launcherWindowTitle();
