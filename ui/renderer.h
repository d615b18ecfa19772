#pragma once
// The painter: one complete frame of the launcher from a LauncherView,
// drawn off-screen on the design canvas and copied to the window at once.

#include "ui/graphics.h"
#include "ui/launcher_state.h"

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstdint>
#include <string>

// The graphics of the off-screen buffer. A failing call leaves its status
// here and the frame goes on; nothing reports it.
struct DrawContext {
    Gdiplus::Graphics* graphics = nullptr;
    Gdiplus::Status status = Gdiplus::Ok;
};

// Paints the window's whole client area from the view.
void paintFrame(HWND window, HDC paintDc, const LauncherView& view, BackgroundImage& background);

// Draws a frame of width × height pixels and copies it to target at (0, 0).
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
