#include "ui/renderer.h"

#include "base/handles.h"
#include "base/utf8_paths.h"
#include "base/version.h"
#include "ui/layout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

using Gdiplus::Color;
using Gdiplus::PointF;
using Gdiplus::RectF;

namespace {

constexpr INT kRegular = Gdiplus::FontStyleRegular;
constexpr INT kBold = Gdiplus::FontStyleBold;
constexpr INT kItalic = Gdiplus::FontStyleItalic;
constexpr INT kUnderline = Gdiplus::FontStyleUnderline;
constexpr INT kBoldUnderline = Gdiplus::FontStyleBold | Gdiplus::FontStyleUnderline;

constexpr auto kNear = Gdiplus::StringAlignmentNear;
constexpr auto kCentre = Gdiplus::StringAlignmentCenter;
constexpr auto kFar = Gdiplus::StringAlignmentFar;

RectF rectF(const DesignRect& r) { return RectF(r.x, r.y, r.w, r.h); }

void note(DrawContext& context, Gdiplus::Status status) {
    if (status != Gdiplus::Ok) context.status = status;
}

void fillRect(DrawContext& context, const RectF& rect, std::uint32_t argb) {
    Gdiplus::SolidBrush brush{Color(argb)};
    note(context, context.graphics->FillRectangle(&brush, rect));
}

void outlineRect(DrawContext& context, const RectF& rect, std::uint32_t argb, float width) {
    Gdiplus::Pen pen(Color(argb), width);
    note(context, context.graphics->DrawRectangle(&pen, rect));
}

void panel(DrawContext& context, const RectF& rect, std::uint32_t fill) {
    fillRect(context, rect, fill);
    outlineRect(context, rect, colorBronze, 1);
}

void line(DrawContext& context, PointF from, PointF to, std::uint32_t argb, float width) {
    Gdiplus::Pen pen(Color(argb), width);
    note(context, context.graphics->DrawLine(&pen, from, to));
}

void horizontalGradient(DrawContext& context, const RectF& rect, std::uint32_t left, std::uint32_t right) {
    Gdiplus::LinearGradientBrush brush(PointF(rect.X, 0), PointF(rect.X + rect.Width, 0), Color(left), Color(right));
    note(context, context.graphics->FillRectangle(&brush, rect));
}

// An error about a deep path would lose its last words, which say what to do
// ("Close the game and retry."): a detail that does not fit is drawn smaller.
float detailSize(DrawContext& context, const std::string& detail, const RectF& rect) {
    static std::string lastDetail;
    static float lastSize = 17;
    if (detail != lastDetail) {
        lastSize = fittingTextSize(context, detail, rect, 17, 13, kRegular);
        lastDetail = detail;
    }
    return lastSize;
}

// The layer: what stays the same from frame to frame. The changing parts
// below are drawn over it in the same order as before, and no part of the
// layer drawn later in that order touches their pixels, so a frame looks
// exactly as if everything had been drawn at once.
void drawStatusBarLayer(DrawContext& context) {
    panel(context, RectF(302, 781, 1326, 114), colorPanel);
    panel(context, RectF(302, 758, 260, 43), colorTabPiece);
    const PointF badge[] = {{302, 758}, {420, 758}, {438, 801}, {302, 801}};
    Gdiplus::SolidBrush red{Color(colorRed)};
    note(context, context.graphics->FillPolygon(&red, badge, 4));
    drawLabel(context, "LIVE", RectF(310, 758, 118, 43), 17, colorParchment, kBold, kCentre);
    fillRect(context, RectF(666, 850, 624, 8), colorProgressTrack);
}

void drawStatusBarParts(DrawContext& context, const LauncherView& view) {
    drawLabel(context, "REPAIR", RectF(426, 758, 126, 43), 17, view.hoverHit == HitRepair ? colorParchment : colorGold,
              kBold, kCentre);
    drawLabel(context, view.title, RectF(326, 807, 330, 36), 21, colorParchment, kBold, kNear);
    const RectF detailRect(666, 805, 640, 34);
    drawLabel(context, view.detail, detailRect, detailSize(context, view.detail, detailRect), colorMuted, kRegular,
              kNear);
    const float fill = progressFillWidth(view.progress);
    if (fill > 0) fillRect(context, RectF(666, 850, fill, 8), colorGold);
    drawLabel(context, percentageText(view.progress), RectF(1232, 827, 58, 28), 16, colorParchment, kRegular, kFar);
    const MainButtonStyle button = mainButtonFor(view.phase);
    drawButton(context, rectF(kMainButtonRect), button.label, 34, button.base, button.enabled,
               view.hoverHit == HitMainButton, view.pressedHit == HitMainButton);
}

bool isActiveTab(const TabInfo& tab, const LauncherView& view) {
    return tab.code != HitCommunityTab && view.navTab == tab.code - HitHomeTab;
}

void drawTabLabel(DrawContext& context, const TabInfo& tab, bool bright) {
    const RectF rect = rectF(tab.rect);
    drawLabel(context, tab.label, RectF(rect.X + 28, rect.Y, rect.Width - 30, rect.Height), 23,
              bright ? colorParchment : colorMuted, kBold, kNear);
}

// Unhovered; the hover fill covers the whole tab but not its separator below it.
void drawTabLayer(DrawContext& context, const TabInfo& tab, const LauncherView& view) {
    const RectF rect = rectF(tab.rect);
    const bool active = isActiveTab(tab, view);
    if (active) {
        horizontalGradient(context, rect, colorActiveTabLeft, colorActiveTabRight);
        fillRect(context, RectF(rect.X, rect.Y, 6, rect.Height), colorRed);
    }
    const float separatorY = rect.Y + rect.Height + 3;
    line(context, PointF(rect.X + 4, separatorY), PointF(rect.X + rect.Width - 14, separatorY), colorTabSeparator, 1);
    drawTabLabel(context, tab, active);
}

void drawTabHover(DrawContext& context, const LauncherView& view) {
    for (const TabInfo& tab : kTabs) {
        if (view.hoverHit != tab.code || isActiveTab(tab, view)) continue;
        fillRect(context, rectF(tab.rect), colorTabHover);
        drawTabLabel(context, tab, true);
    }
}

void drawTitleAndNavigationLayer(DrawContext& context, const LauncherView& view) {
    fillRect(context, RectF(30, 200, 258, 290), colorNavigation);
    fillRect(context, RectF(34, 36, 250, 140), colorNavigation);
    drawLabel(context, "TINDER", RectF(34, 52, 250, 46), 40, colorParchment, kBold, kCentre);
    drawLabel(context, "HALLOW", RectF(34, 96, 250, 46), 40, colorParchment, kBold, kCentre);
    Gdiplus::Pen ornament(Color(colorRed), 2);
    note(context, context.graphics->DrawLine(&ornament, PointF(58, 158), PointF(142, 158)));
    note(context, context.graphics->DrawLine(&ornament, PointF(176, 158), PointF(260, 158)));
    const PointF diamond[] = {{159, 150}, {167, 158}, {159, 166}, {151, 158}};
    note(context, context.graphics->DrawPolygon(&ornament, diamond, 4));
    for (const TabInfo& tab : kTabs) drawTabLayer(context, tab, view);
    drawLabel(context, "Launcher " TINDERHALLOW_VERSION_TEXT, RectF(96, 872, 190, 28), 14, colorMuted, kRegular, kNear);
}

void drawNews(DrawContext& context, const LauncherView& view) {
    const std::vector<float> tops = newsCardTops(view.newsCards.size());
    for (std::size_t i = 0; i < tops.size(); ++i) {
        const NewsCard& card = view.newsCards[i];
        const float y = tops[i];
        drawLabel(context, card.title, RectF(330, y, 1000, 30), 21, colorParchment, kBold, kNear);
        drawLabel(context, card.date, RectF(1330, y, 270, 30), 15, colorMuted, kRegular, kFar);
        drawWrappedText(context, card.summary, RectF(330, y + 32, 1270, 52), 16, colorMuted);
    }
}

void drawPatchNotes(DrawContext& context, const LauncherView& view) {
    for (const PatchNotesRow& row : patchNotesRows(view.patchNotes)) {
        const PatchNotesEntry& entry = view.patchNotes[row.entry];
        if (row.line < 0) {
            drawLabel(context, entry.title, RectF(330, row.y, 600, 30), 21, colorParchment, kBold, kNear);
        } else {
            fillRect(context, RectF(336, row.y + 10, 7, 7), colorRed);
            drawLabel(context, entry.lines[static_cast<std::size_t>(row.line)], RectF(354, row.y, 1240, 28), 17,
                      colorMuted, kRegular, kNear);
        }
    }
}

void drawContentPanel(DrawContext& context, const LauncherView& view) {
    const bool news = view.navTab == 1;
    panel(context, RectF(302, 432, 1326, 304), colorPanel);
    drawLabel(context, news ? "LATEST NEWS" : "PATCH NOTES", RectF(330, 440, 600, 44), 24, colorGold, kBold, kNear);
    line(context, PointF(326, 488), PointF(1604, 488), colorBronze, 1);
    if (news) drawNews(context, view);
    else drawPatchNotes(context, view);
}

void drawHomeCard(DrawContext& context, const LauncherView& view) {
    if (view.patchNotes.empty()) return;
    const PatchNotesEntry& latest = view.patchNotes.front();
    panel(context, RectF(1133, 432, 495, 304), colorPanel);
    fillRect(context, RectF(1148, 450, 4, 28), colorRed);
    drawLabel(context, "LATEST PATCH", RectF(1166, 446, 300, 36), 22, colorGold, kBold, kNear);
    drawLabel(context, latest.title, RectF(1150, 488, 460, 26), 15, colorMuted, kRegular, kNear);
    line(context, PointF(1148, 520), PointF(1612, 520), colorBronze, 1);
    float y = 528;
    const std::size_t shown = homePatchLineCount(latest.lines.size());
    for (std::size_t i = 0; i < shown; ++i) {
        fillRect(context, RectF(1150, y + 9, 6, 6), colorRed);
        drawWrappedText(context, latest.lines[i], RectF(1166, y, 448, 38), 14.5f, colorParchment);
        y += 34;
    }
    const std::string more = homeMoreNote(latest.lines.size());
    if (!more.empty()) drawLabel(context, more, RectF(1166, y + 2, 448, 24), 14, colorGold, kItalic, kNear);
}

void drawLoginPanelLayer(DrawContext& context) {
    panel(context, RectF(40, 528, 236, 296), colorLoginPanel);
    drawLabel(context, "LOG IN", RectF(52, 536, 212, 24), 20, colorParchment, kBold, kNear);
    drawLabel(context, "ACCOUNT NAME", RectF(52, 596, 212, 16), 11, colorGold, kBold, kNear);
    panel(context, rectF(kAccountBoxRect), colorCanvas);
    drawLabel(context, "PASSWORD", RectF(52, 652, 212, 16), 11, colorGold, kBold, kNear);
    panel(context, rectF(kPasswordBoxRect), colorCanvas);
    outlineRect(context, RectF(52, 713, 18, 18), colorGold, 1.5f);
    drawLabel(context, "Remember my name", RectF(78, 710, 186, 24), 13, colorMuted, kRegular, kNear);
    drawLabel(context, "Create an account", rectF(kCreateAccountRect), 14, colorGold, kBoldUnderline, kCentre);
}

void drawLoginPanelParts(DrawContext& context, const LauncherView& view) {
    if (view.statusLine.empty()) {
        drawLabel(context, "One Tinderhallow account for the game, forum and website.", RectF(52, 560, 212, 34), 12.5f,
                  colorMuted, kRegular, kNear);
    } else {
        drawLabel(context, view.statusLine, RectF(52, 560, 212, 34), 12.5f, colorBrightRed, kRegular, kNear);
    }
    if (view.rememberName) fillRect(context, RectF(56, 717, 10, 10), colorGold);
    drawButton(context, rectF(kLogInButtonRect), view.connecting ? "CONNECTING" : "LOG IN", 18, colorRed,
               !view.connecting, view.hoverHit == HitLogIn, view.pressedHit == HitLogIn);
}

void drawSignedInPanel(DrawContext& context, const LauncherView& view) {
    drawLabel(context, "SIGNED IN AS", RectF(44, 756, 220, 22), 13, colorMuted, kBold, kNear);
    drawLabel(context, view.accountName, RectF(44, 776, 220, 30), 20, colorParchment, kBold, kNear);
    drawLabel(context, "Not you? Switch account", rectF(kSwitchAccountRect), 14, colorGold, kUnderline, kNear);
}

// The scaled copy of the illustration, resampled once per size.
bool scaledFits(const BackgroundImage& background, int width, int height) {
    return background.scaled && background.scaledWidth == width && background.scaledHeight == height;
}

void drawBackground(DrawContext& context, BackgroundImage& background, int width, int height) {
    const bool prepared = takePreparedBackground(background);
    if (!scaledFits(background, width, height)) {
        // The first frames before the picture is ready show the canvas and
        // the panels, and the finished preparation repaints the window; a
        // window that once showed the picture waits for it instead.
        if (!prepared && !background.scaled) return;
        ensureBackgroundPicture(background);
    }
    if (!scaledFits(background, width, height)) {
        if (!background.image || background.image->GetLastStatus() != Gdiplus::Ok) return;
        background.scaled.reset();
        ++background.generation;
        Gdiplus::Status status = Gdiplus::Ok;
        std::unique_ptr<Gdiplus::Bitmap> scaled = resampleBackground(*background.image, width, height, &status);
        note(context, status);
        if (!scaled) return;
        background.scaled = std::move(scaled);
        background.scaledWidth = width;
        background.scaledHeight = height;
    }
    note(context, context.graphics->DrawImage(background.scaled.get(), 0, 0, width, height));
}

void scaleToDesign(DrawContext& context, int width, int height) {
    note(context, context.graphics->ScaleTransform(static_cast<float>(width) / kDesignWidth,
                                                   static_cast<float>(height) / kDesignHeight));
}

void drawLayer(DrawContext& context, const LauncherView& view, BackgroundImage& background, int width, int height) {
    Gdiplus::Graphics& g = *context.graphics;
    g.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    note(context, g.Clear(Color(colorCanvas)));
    drawBackground(context, background, width, height);
    scaleToDesign(context, width, height);
    drawStatusBarLayer(context);
    drawTitleAndNavigationLayer(context, view);
    if (view.navTab != 0) drawContentPanel(context, view);
    else drawHomeCard(context, view);
    if (view.showLoginForm) drawLoginPanelLayer(context);
}

void drawLoginOrSignedIn(DrawContext& context, const LauncherView& view) {
    if (view.showLoginForm) drawLoginPanelParts(context, view);
    else if (!view.accountName.empty()) drawSignedInPanel(context, view);
}

void addText(std::string& key, const std::string& text) {
    key += text;
    key += '\0';
}

// What an area shows: equal keys, equal pixels.
std::string statusBarKey(const LauncherView& view) {
    std::string key;
    addText(key, view.title);
    addText(key, view.detail);
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%a %d %d %d %d", static_cast<double>(view.progress),
                  static_cast<int>(view.phase), view.hoverHit == HitRepair, view.hoverHit == HitMainButton,
                  view.pressedHit == HitMainButton);
    key += numbers;
    return key;
}

std::string tabHoverKey(const LauncherView& view) {
    for (const TabInfo& tab : kTabs)
        if (view.hoverHit == tab.code && !isActiveTab(tab, view)) return std::to_string(tab.code);
    return {};
}

std::string loginKey(const LauncherView& view) {
    std::string key;
    if (view.showLoginForm) {
        addText(key, view.statusLine);
        key += view.rememberName ? 'r' : '-';
        key += view.connecting ? 'c' : '-';
        key += view.hoverHit == HitLogIn ? 'h' : '-';
        key += view.pressedHit == HitLogIn ? 'p' : '-';
    } else {
        addText(key, view.accountName);
    }
    return key;
}

// The parts that change, each in an area of its own (design units, with a
// margin of a few units for anti-aliased edges at any scale). Nothing else
// draws there after the layer, and the areas do not overlap, so an area is
// restored from the layer and drawn again only when its key changed.
struct ChangingArea {
    DesignRect rect;
    std::string (*key)(const LauncherView&);
    void (*draw)(DrawContext&, const LauncherView&);
};

// The status bar's texts and its main button are drawn together: a frame's
// status lines always come with its button (tests read them that way).
const ChangingArea kChangingAreas[FrameCache::kChangingAreaCount] = {
    {{300, 752, 1330, 140}, statusBarKey, drawStatusBarParts},  // REPAIR, texts, progress, main button and glow
    {{36, 203, 246, 280}, tabHoverKey, drawTabHover},
    {{40, 556, 236, 282}, loginKey, drawLoginOrSignedIn},  // message, checkbox, LOG IN; or the signed-in lines
};

void restoreArea(FrameCache& cache, const DesignRect& area) {
    const float sx = static_cast<float>(cache.width) / kDesignWidth;
    const float sy = static_cast<float>(cache.height) / kDesignHeight;
    const int left = std::max(0, static_cast<int>(std::floor(area.x * sx)));
    const int top = std::max(0, static_cast<int>(std::floor(area.y * sy)));
    const int right = std::min(cache.width, static_cast<int>(std::ceil((area.x + area.w) * sx)));
    const int bottom = std::min(cache.height, static_cast<int>(std::ceil((area.y + area.h) * sy)));
    if (right > left && bottom > top)
        BitBlt(cache.back.dc.get(), left, top, right - left, bottom - top, cache.layer.dc.get(), left, top, SRCCOPY);
}

void drawChangedAreas(FrameCache& cache, const LauncherView& view) {
    std::unique_ptr<Gdiplus::Graphics> graphics;
    DrawContext context;
    for (int i = 0; i < FrameCache::kChangingAreaCount; ++i) {
        const ChangingArea& area = kChangingAreas[i];
        std::string key = area.key(view);
        if (cache.areaDrawn[i] && cache.areaKeys[i] == key) continue;
        restoreArea(cache, area.rect);
        if (!graphics) {
            graphics = std::make_unique<Gdiplus::Graphics>(cache.back.dc.get());
            context = DrawContext{graphics.get(), graphics->GetLastStatus()};
            graphics->SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
            scaleToDesign(context, cache.width, cache.height);
        }
        area.draw(context, view);
        cache.areaKeys[i] = std::move(key);
        cache.areaDrawn[i] = true;
    }
    if (graphics) graphics->Flush(Gdiplus::FlushIntentionSync);
}

bool sameNews(const std::vector<NewsCard>& a, const std::vector<NewsCard>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const NewsCard& x, const NewsCard& y) {
        return x.title == y.title && x.date == y.date && x.summary == y.summary;
    });
}

bool samePatchNotes(const std::vector<PatchNotesEntry>& a, const std::vector<PatchNotesEntry>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const PatchNotesEntry& x, const PatchNotesEntry& y) {
        return x.title == y.title && x.lines == y.lines;
    });
}

bool layerFits(const FrameCache& cache, const LauncherView& view, const BackgroundImage& background) {
    return cache.layerValid && cache.navTab == view.navTab && cache.showLoginForm == view.showLoginForm &&
           cache.backgroundGeneration == background.generation && sameNews(cache.newsCards, view.newsCards) &&
           samePatchNotes(cache.patchNotes, view.patchNotes);
}

// The bitmap can be deleted only once no device context holds it.
void releaseBuffer(FrameCache::Buffer& buffer) {
    if (buffer.dc && buffer.previous != nullptr) SelectObject(buffer.dc.get(), buffer.previous);
    buffer.previous = nullptr;
    buffer.dc.reset();
    buffer.bitmap.reset();
}

bool makeBuffer(FrameCache::Buffer& buffer, HDC target, int width, int height) {
    MemoryDc dc(CreateCompatibleDC(target));
    if (!dc) return false;
    GdiObject<HBITMAP> bitmap(CreateCompatibleBitmap(target, width, height));
    if (!bitmap) return false;
    buffer.previous = SelectObject(dc.get(), bitmap.get());
    buffer.bitmap = std::move(bitmap);
    buffer.dc = std::move(dc);
    return true;
}

bool ensureBuffers(FrameCache& cache, HDC target, int width, int height) {
    if (cache.layer.dc && cache.back.dc && cache.width == width && cache.height == height) return true;
    releaseBuffer(cache.layer);
    releaseBuffer(cache.back);
    cache.layerValid = false;
    cache.width = 0;
    cache.height = 0;
    if (!makeBuffer(cache.layer, target, width, height) || !makeBuffer(cache.back, target, width, height)) {
        releaseBuffer(cache.layer);
        releaseBuffer(cache.back);
        return false;
    }
    cache.width = width;
    cache.height = height;
    return true;
}

void buildLayer(FrameCache& cache, const LauncherView& view, BackgroundImage& background) {
    {
        Gdiplus::Graphics graphics(cache.layer.dc.get());
        DrawContext context{&graphics, graphics.GetLastStatus()};
        drawLayer(context, view, background, cache.width, cache.height);
        graphics.Flush(Gdiplus::FlushIntentionSync);
    }
    // Read after drawing: a resample while drawing replaces the scaled copy.
    cache.layerValid = true;
    cache.navTab = view.navTab;
    cache.showLoginForm = view.showLoginForm;
    cache.backgroundGeneration = background.generation;
    cache.newsCards = view.newsCards;
    cache.patchNotes = view.patchNotes;
    // The back buffer becomes the bare layer: every area is drawn afresh.
    BitBlt(cache.back.dc.get(), 0, 0, cache.width, cache.height, cache.layer.dc.get(), 0, 0, SRCCOPY);
    for (bool& drawn : cache.areaDrawn) drawn = false;
}

// The process's window is painted from this one; never destroyed, its GDI
// objects end with the process.
FrameCache& windowFrameCache() {
    static FrameCache* cache = new FrameCache();
    return *cache;
}

}  // namespace

void drawLabel(DrawContext& context, const std::string& text, const RectF& rect, float size, std::uint32_t color,
               INT style, Gdiplus::StringAlignment alignment) {
    const std::wstring wide = utf8ToWide(text);
    Gdiplus::SolidBrush brush{Color(color)};
    Gdiplus::StringFormat format;
    format.SetAlignment(alignment);
    format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
    format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
    note(context, context.graphics->DrawString(wide.c_str(), static_cast<INT>(wide.size()), getFont(size, style), rect,
                                               &format, &brush));
}

float fittingTextSize(DrawContext& context, const std::string& text, const RectF& rect, float size, float smallest,
                      INT style) {
    const std::wstring wide = utf8ToWide(text);
    Gdiplus::StringFormat format;
    for (; size > smallest; size -= 2) {
        Gdiplus::Font* font = getFont(size, style);
        RectF bounds;
        if (font == nullptr ||
            context.graphics->MeasureString(wide.c_str(), static_cast<INT>(wide.size()), font,
                                            RectF(0, 0, rect.Width, 100000), &format, &bounds) != Gdiplus::Ok)
            return size;
        if (bounds.Height <= rect.Height) return size;
    }
    return smallest;
}

void drawWrappedText(DrawContext& context, const std::string& text, const RectF& rect, float size,
                     std::uint32_t color) {
    const std::wstring wide = utf8ToWide(text);
    Gdiplus::SolidBrush brush{Color(color)};
    Gdiplus::StringFormat format;
    format.SetTrimming(Gdiplus::StringTrimmingEllipsisWord);
    note(context, context.graphics->DrawString(wide.c_str(), static_cast<INT>(wide.size()), getFont(size, kRegular),
                                               rect, &format, &brush));
}

void drawButton(DrawContext& context, RectF rect, const std::string& label, float size, std::uint32_t base,
                bool enabled, bool hovered, bool pressed) {
    Gdiplus::Graphics& g = *context.graphics;
    const float lift = buttonLift(enabled, pressed);
    if (enabled) {
        fillRect(context, RectF(rect.X + 2, rect.Y + 6, rect.Width, rect.Height), 0x96000000);
        if (hovered && !pressed) {
            for (float width : {15.0f, 10.0f, 5.0f}) {
                outlineRect(context, RectF(rect.X, rect.Y - lift, rect.Width, rect.Height), 0x1CFFBE5A, width);
            }
        }
    }
    rect.Y = buttonFaceY(rect.Y, enabled, pressed);
    const ButtonColors colors = buttonColors(base, enabled, hovered, pressed);
    Gdiplus::LinearGradientBrush face(PointF(rect.X, rect.Y), PointF(rect.X, rect.Y + rect.Height), Color(colors.top),
                                      Color(colors.bottom));
    note(context, g.FillRectangle(&face, rect));
    if (enabled) {
        line(context, PointF(rect.X + 2, rect.Y + 2), PointF(rect.X + rect.Width - 2, rect.Y + 2),
             pressed ? 0x3CFFE0A0 : 0x82FFE0A0, 2);
        line(context, PointF(rect.X + 2, rect.Y + rect.Height - 2),
             PointF(rect.X + rect.Width - 2, rect.Y + rect.Height - 2), 0xA0280804, 3);
    }
    outlineRect(context, rect, hovered && enabled ? colorParchment : colorGold, 2);
    drawLabel(context, label, RectF(rect.X + 2, rect.Y + 3, rect.Width, rect.Height), size, 0xAA000000, kBold, kCentre);
    drawLabel(context, label, rect, size, enabled ? colorParchment : colorMuted, kBold, kCentre);
}

FrameCache::~FrameCache() {
    releaseBuffer(layer);
    releaseBuffer(back);
}

void renderFrame(HDC target, int width, int height, const LauncherView& view, BackgroundImage& background,
                 FrameCache& cache) {
    width = std::max(width, 1);
    height = std::max(height, 1);
    if (!ensureBuffers(cache, target, width, height)) return;
    // A finished background preparation changes the layer's key.
    (void)takePreparedBackground(background);
    if (!layerFits(cache, view, background)) buildLayer(cache, view, background);
    drawChangedAreas(cache, view);
    BitBlt(target, 0, 0, width, height, cache.back.dc.get(), 0, 0, SRCCOPY);
}

void renderFrame(HDC target, int width, int height, const LauncherView& view, BackgroundImage& background) {
    FrameCache cache;
    renderFrame(target, width, height, view, background, cache);
}

void paintFrame(HWND window, HDC paintDc, const LauncherView& view, BackgroundImage& background) {
    RECT client{};
    GetClientRect(window, &client);
    repaintWhenBackgroundPrepared(background, window);
    renderFrame(paintDc, client.right - client.left, client.bottom - client.top, view, background, windowFrameCache());
}
