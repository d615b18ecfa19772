#pragma once
// The painter: one complete frame of the launcher from a LauncherView,
// drawn off-screen on the design canvas and copied to the window at once.

#include "base/handles.h"
#include "ui/graphics.h"
#include "ui/launcher_state.h"

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstdint>
#include <string>
#include <vector>

// The graphics of the off-screen buffer. A failing call leaves its status
// here and the frame goes on; nothing reports it.
struct DrawContext {
    Gdiplus::Graphics* graphics = nullptr;
    Gdiplus::Status status = Gdiplus::Ok;
};

// What the painter keeps between frames: the layer that changes rarely (the
// background, panels, fixed texts, the open tab's news or patch notes) and
// the buffer each frame is finished in. The layer is drawn again only when
// the client size, the tab, the login form, the news and patch notes or the
// background change; a frame copies it and draws the changing parts over it.
class FrameCache {
public:
    FrameCache() = default;
    ~FrameCache();
    FrameCache(const FrameCache&) = delete;
    FrameCache& operator=(const FrameCache&) = delete;

    // A memory device context drawing into a bitmap of its own.
    struct Buffer {
        GdiObject<HBITMAP> bitmap;
        MemoryDc dc;
        HGDIOBJ previous = nullptr;  // the context's own bitmap, selected back before the bitmap goes
    };
    Buffer layer;
    Buffer back;
    int width = 0;
    int height = 0;
    // The layer's key; valid only while layerValid.
    bool layerValid = false;
    std::int32_t navTab = 0;
    bool showLoginForm = true;
    // Every change of the picture or its scaled copy moves the generation.
    std::uint64_t backgroundGeneration = 0;
    std::vector<NewsCard> newsCards;
    std::vector<PatchNotesEntry> patchNotes;
    // The back buffer holds the layer and, in each area of the changing
    // parts that was drawn since the layer, what that area's key says.
    static constexpr int kChangingAreaCount = 3;
    bool areaDrawn[kChangingAreaCount] = {};
    std::string areaKeys[kChangingAreaCount];
};

// Paints the window's whole client area from the view.
void paintFrame(HWND window, HDC paintDc, const LauncherView& view, BackgroundImage& background);

// Draws a frame of width × height pixels and copies it to target at (0, 0),
// reusing what `cache` kept from earlier frames.
void renderFrame(HDC target, int width, int height, const LauncherView& view, BackgroundImage& background,
                 FrameCache& cache);
// The same with nothing kept: every part is drawn.
void renderFrame(HDC target, int width, int height, const LauncherView& view, BackgroundImage& background);

// One line of text in a rectangle: vertically centred, trimmed with an ellipsis.
void drawLabel(DrawContext& context, const std::string& text, const Gdiplus::RectF& rect, float size,
               std::uint32_t color, INT style, Gdiplus::StringAlignment alignment);

// The largest size, from size down to smallest in steps of 2, at which text
// wrapped to rect's width fits its height (smallest when none does).
float fittingTextSize(DrawContext& context, const std::string& text, const Gdiplus::RectF& rect, float size,
                      float smallest, INT style);

// Top-left text that wraps, trimmed at a word with an ellipsis.
void drawWrappedText(DrawContext& context, const std::string& text, const Gdiplus::RectF& rect, float size,
                     std::uint32_t color);

// The raised button; a pressed one sinks, an enabled one floats and glows when hovered.
void drawButton(DrawContext& context, Gdiplus::RectF rect, const std::string& label, float size, std::uint32_t base,
                bool enabled, bool hovered, bool pressed);
