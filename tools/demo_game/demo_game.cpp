// The demo's stand-in for the game: a small window that shows "Tinderhallow"
// and the ticket the launcher passed as "--ticket <ticket>" (or "No ticket").
// A click, or 60 seconds, closes it. The demo publishes it as
// TinderhallowGame.exe.

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <string_view>

namespace {

constexpr UINT_PTR kCloseTimer = 1;
constexpr UINT kCloseAfterMs = 60 * 1000;

std::wstring ticketLine;

std::wstring ticketFromCommandLine() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) return L"No ticket";
    std::wstring line = L"No ticket";
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::wstring_view(argv[i]) == L"--ticket") {
            line = L"Ticket: " + std::wstring(argv[i + 1]);
            break;
        }
    }
    LocalFree(argv);
    return line;
}

void drawCentred(HDC dc, const std::wstring& text, RECT area, int height, int weight, COLORREF colour, UINT extra) {
    HFONT font = CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_ROMAN, L"Georgia");
    HGDIOBJ previous = SelectObject(dc, font);
    SetTextColor(dc, colour);
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &area, DT_CENTER | DT_NOPREFIX | extra);
    SelectObject(dc, previous);
    DeleteObject(font);
}

void paint(HWND window) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT client{};
    GetClientRect(window, &client);
    HBRUSH background = CreateSolidBrush(RGB(22, 14, 10));
    FillRect(dc, &client, background);
    DeleteObject(background);
    SetBkMode(dc, TRANSPARENT);

    RECT title = client;
    title.top = client.bottom / 5;
    title.bottom = title.top + 72;
    drawCentred(dc, L"Tinderhallow", title, 56, FW_BOLD, RGB(236, 168, 74), DT_SINGLELINE);

    RECT ticket = client;
    ticket.left += 24;
    ticket.right -= 24;
    ticket.top = title.bottom + 24;
    drawCentred(dc, ticketLine, ticket, 22, FW_NORMAL, RGB(244, 219, 169), DT_WORDBREAK | DT_EDITCONTROL);

    RECT hint = client;
    hint.top = client.bottom - 48;
    drawCentred(dc, L"Click to close", hint, 15, FW_NORMAL, RGB(150, 120, 90), DT_SINGLELINE);
    EndPaint(window, &ps);
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT: paint(window); return 0;
        case WM_LBUTTONUP:
        case WM_TIMER: DestroyWindow(window); return 0;
        case WM_DESTROY:
            KillTimer(window, kCloseTimer);
            PostQuitMessage(0);
            return 0;
        default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    ticketLine = ticketFromCommandLine();

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_HAND);
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.lpszClassName = L"TinderhallowDemoGameWindow";
    if (!RegisterClassW(&windowClass)) return 1;

    const DWORD style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT frame{0, 0, 640, 360};
    AdjustWindowRect(&frame, style, FALSE);
    HWND window =
        CreateWindowExW(0, windowClass.lpszClassName, L"Tinderhallow", style, CW_USEDEFAULT, CW_USEDEFAULT,
                        frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 1;
    SetTimer(window, kCloseTimer, kCloseAfterMs, nullptr);
    ShowWindow(window, show);
    UpdateWindow(window);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
