#include "ui/dpi.h"

#include "startup/program_resources.h"
#include "ui/layout.h"

namespace {

constexpr UINT kDefaultDpi = 96;
constexpr int kMonitorDpiEffective = 0;  // MDT_EFFECTIVE_DPI

using GetDpiForMonitorFn = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);

template <typename Function>
Function systemFunction(const wchar_t* library, const char* name) {
    HMODULE module = GetModuleHandleW(library);
    if (module == nullptr) module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

UINT systemDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen != nullptr) ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : kDefaultDpi;
}

SIZE frameSize(DWORD style, UINT dpi) {
    RECT frame{0, 0, 0, 0};
    static const auto adjustForDpi =
        systemFunction<AdjustWindowRectExForDpiFn>(L"user32.dll", "AdjustWindowRectExForDpi");
    if (adjustForDpi == nullptr || !adjustForDpi(&frame, style, FALSE, 0, dpi)) {
        frame = {0, 0, 0, 0};
        AdjustWindowRectEx(&frame, style, FALSE, 0);
    }
    return {frame.right - frame.left, frame.bottom - frame.top};
}

}  // namespace

UINT monitorDpi(HMONITOR monitor) {
    static const auto getDpiForMonitor = systemFunction<GetDpiForMonitorFn>(L"shcore.dll", "GetDpiForMonitor");
    UINT x = 0;
    UINT y = 0;
    if (monitor != nullptr && getDpiForMonitor != nullptr &&
        SUCCEEDED(getDpiForMonitor(monitor, kMonitorDpiEffective, &x, &y)) && y > 0)
        return y;
    return systemDpi();
}

UINT windowDpi(HWND window) {
    static const auto getDpiForWindow = systemFunction<GetDpiForWindowFn>(L"user32.dll", "GetDpiForWindow");
    if (getDpiForWindow != nullptr) {
        const UINT dpi = getDpiForWindow(window);
        if (dpi > 0) return dpi;
    }
    return monitorDpi(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST));
}

namespace {

struct WindowSizes {
    SIZE frame;
    SIZE client;
};

WindowSizes launcherWindowSizes(HMONITOR monitor, DWORD style) {
    RECT work{0, 0, static_cast<LONG>(kDesignWidth), static_cast<LONG>(kDesignHeight)};
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (monitor != nullptr && GetMonitorInfoW(monitor, &info)) work = info.rcWork;
    else SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const UINT dpi = monitorDpi(monitor);
    const SIZE frame = frameSize(style, dpi);
    const ClientSize client =
        clientSizeForWorkArea(work.right - work.left, work.bottom - work.top, frame.cx, frame.cy, dpi);
    return {frame, {client.width, client.height}};
}

}  // namespace

SIZE launcherWindowSize(HMONITOR monitor, DWORD style) {
    const WindowSizes sizes = launcherWindowSizes(monitor, style);
    return {sizes.client.cx + sizes.frame.cx, sizes.client.cy + sizes.frame.cy};
}

SIZE launcherClientSize(HMONITOR monitor, DWORD style) { return launcherWindowSizes(monitor, style).client; }

void fitWindowToItsMonitor(HWND window, DWORD style) {
    const SIZE wanted = launcherWindowSize(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), style);
    RECT current{};
    GetWindowRect(window, &current);
    if (current.right - current.left == wanted.cx && current.bottom - current.top == wanted.cy) return;
    SetWindowPos(window, nullptr, 0, 0, wanted.cx, wanted.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void applyDpiChange(HWND window, const RECT& suggested) {
    SetWindowPos(window, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    // The class has no redraw styles: a smaller window would keep the old
    // frame's pixels, drawn for the other size.
    InvalidateRect(window, nullptr, FALSE);
}

HICON loadProgramIcon(HINSTANCE instance, int widthMetric, int heightMetric) {
    HANDLE icon = LoadImageW(instance, MAKEINTRESOURCEW(PROGRAM_ICON_ID), IMAGE_ICON, GetSystemMetrics(widthMetric),
                             GetSystemMetrics(heightMetric), LR_SHARED);
    return icon != nullptr ? static_cast<HICON>(icon) : LoadIconW(nullptr, IDI_APPLICATION);
}
