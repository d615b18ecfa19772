// Times the painter at the design size on a screen-compatible buffer, as a
// window's paint context gives it: the first frame (which resamples the
// background), then the median of many frames, against the same frames with
// the background's scaled copy in premultiplied ARGB (the reference format).
// The last line, "RESULT key=value ...", repeats the figures for bench/run.
//
// Usage: paint_frame.exe BACKGROUND.png [FRAMES]

#include "ui/graphics.h"
#include "ui/layout.h"
#include "ui/renderer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

LauncherView sampleView() {
    LauncherView view;
    view.phase = LauncherPhase::UpdateAvailable;
    view.title = "Update available";
    view.detail = "12 files ready to install";
    view.progress = 0.42f;
    view.statusLine = "Log in to start the download.";
    view.newsCards = LauncherState::builtInNews();
    view.patchNotes = LauncherState::builtInPatchNotes();
    return view;
}

// Frames with the hover moving between tabs, as the mouse makes them.
std::vector<double> timeFrames(HDC target, BackgroundImage& background, int frames) {
    LauncherView view = sampleView();
    std::vector<double> times;
    for (int i = 0; i < frames; ++i) {
        view.hoverHit = HitHomeTab + (i % 4);
        const auto start = Clock::now();
        renderFrame(target, 1664, 940, view, background);
        GdiFlush();
        times.push_back(msSince(start));
    }
    return times;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: paint_frame.exe BACKGROUND.png [FRAMES]\n", stderr);
        return 2;
    }
    const int frames = argc > 2 ? std::max(1, _wtoi(argv[2])) : 60;
    const ULONG_PTR token = startGraphics();
    BackgroundImage background;
    auto start = Clock::now();
    if (!loadImageFromFile(background, argv[1])) {
        std::fputs("cannot load the background\n", stderr);
        return 1;
    }
    const double decode = msSince(start);

    HDC screen = GetDC(nullptr);
    HDC target = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 1664, 940);
    HGDIOBJ previous = SelectObject(target, bitmap);

    start = Clock::now();
    renderFrame(target, 1664, 940, sampleView(), background);
    GdiFlush();
    const double first = msSince(start);
    const double ours = median(timeFrames(target, background, frames));

    // The same frames with a premultiplied scaled copy.
    auto premultiplied = std::make_unique<Gdiplus::Bitmap>(1664, 940, PixelFormat32bppPARGB);
    {
        Gdiplus::Graphics copy(premultiplied.get());
        copy.DrawImage(background.scaled.get(), 0, 0, 1664, 940);
    }
    background.scaled = std::move(premultiplied);
    const double reference = median(timeFrames(target, background, std::max(5, frames / 4)));

    std::printf("decode+clone %.1f ms\n", decode);
    std::printf("first frame (resamples the background) %.1f ms\n", first);
    std::printf("median frame, opaque RGB copy %.2f ms over %d frames\n", ours, frames);
    std::printf("median frame, premultiplied copy %.2f ms\n", reference);
    std::printf("ratio premultiplied / opaque %.1f\n", ours > 0 ? reference / ours : 0.0);
    std::printf("ratio median frame / 16 ms target %.2f\n", ours / 16.0);
    // One line for bench/run; the figures above stay the ones to read.
    std::printf("RESULT frames=%d decode_ms=%.1f first_frame_ms=%.1f median_frame_ms=%.2f premultiplied_ms=%.2f "
                "target_ratio=%.3f\n",
                frames, decode, first, ours, reference, ours / 16.0);

    SelectObject(target, previous);
    DeleteObject(bitmap);
    DeleteDC(target);
    ReleaseDC(nullptr, screen);
    releaseBackground(background);
    stopGraphics(token);
    return 0;
}
