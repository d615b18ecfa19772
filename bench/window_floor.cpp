// The floor of a window's start: the least a Win32 program does to show a
// window of the launcher's design size. One top-level window with the
// launcher's style and a 1664 × 940 client area, filled once with a flat
// colour on its first WM_PAINT; WM_CLOSE ends it. Nothing else is loaded,
// so the time to its first pixel is what Wine costs any window program.
//
// Usage: window_floor.exe   (a GUI program: started by bench/window_start_bench.py)

#include <windows.h>

namespace {

// What the benchmark looks for on the screen.
constexpr COLORREF kFillColour = RGB(0x2A, 0xB0, 0x5C);
constexpr DWORD kStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr int kClientWidth = 1664;
constexpr int kClientHeight = 940;

LRESULT CALLBACK floorProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT paint{};
            HDC dc = BeginPaint(window, &paint);
            if (dc != nullptr) {
                RECT client{};
                GetClientRect(window, &client);
                HBRUSH brush = CreateSolidBrush(kFillColour);
                FillRect(dc, &client, brush);
                DeleteObject(brush);
            }
            EndPaint(window, &paint);
            return 0;
        }
        case WM_DESTROY: PostQuitMessage(0); return 0;
        default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = floorProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = L"TinderhallowWindowFloor";
    if (RegisterClassExW(&windowClass) == 0) return 1;
    RECT outer{0, 0, kClientWidth, kClientHeight};
    AdjustWindowRect(&outer, kStyle, FALSE);
    HWND window =
        CreateWindowExW(0, windowClass.lpszClassName, L"Window floor", kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                        outer.right - outer.left, outer.bottom - outer.top, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 1;
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
