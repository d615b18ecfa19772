// FakeLauncherWindow: a stand-in with the launcher window's class, title form,
// edit controls and capture behaviour, at a chosen client size. The window
// driver's own test drives it and reads back what it received from a log.
//
//   FakeLauncherWindow [LOG_FILE [CLIENT_WIDTH CLIENT_HEIGHT]]
//   (without arguments it logs to fake_launcher_window.log beside itself)
//
// Log lines (UTF-8): "down X Y" and "up X Y" in design units, "enter account|password",
// "tab account|password", "char account|password CODE". Enter hides both edits,
// as a successful login does.

#include "base/utf8_paths.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdlib>
#include <string>

namespace {

constexpr double kDesignWidth = 1664.0;
constexpr double kDesignHeight = 940.0;

std::wstring logPath;
HWND mainWindow = nullptr;
HWND accountEdit = nullptr;
HWND passwordEdit = nullptr;

void logLine(const std::string& line) {
    HANDLE file = CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

const char* editName(HWND control) { return control == accountEdit ? "account" : "password"; }

void designPoint(HWND window, LPARAM lParam, double& x, double& y) {
    RECT client{};
    GetClientRect(window, &client);
    const double width = client.right < 2 ? 1.0 : client.right;
    const double height = client.bottom < 2 ? 1.0 : client.bottom;
    x = static_cast<short>(LOWORD(lParam)) * kDesignWidth / width;
    y = static_cast<short>(HIWORD(lParam)) * kDesignHeight / height;
}

std::string pointText(HWND window, LPARAM lParam) {
    double x = 0, y = 0;
    designPoint(window, lParam, x, y);
    return std::to_string(static_cast<int>(x + 0.5)) + " " + std::to_string(static_cast<int>(y + 0.5));
}

RECT scaled(HWND window, int x, int y, int w, int h) {
    RECT client{};
    GetClientRect(window, &client);
    const double sx = client.right / kDesignWidth, sy = client.bottom / kDesignHeight;
    return {static_cast<LONG>(x * sx), static_cast<LONG>(y * sy), static_cast<LONG>((x + w) * sx),
            static_cast<LONG>((y + h) * sy)};
}

void fill(HDC dc, const RECT& rect, COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &rect, brush);
    DeleteObject(brush);
}

LRESULT CALLBACK editProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    if (message == WM_KEYDOWN && wParam == VK_RETURN) {
        logLine(std::string("enter ") + editName(control));
        ShowWindow(accountEdit, SW_HIDE);
        ShowWindow(passwordEdit, SW_HIDE);
        return 0;
    }
    if (message == WM_KEYDOWN && wParam == VK_TAB) {
        logLine(std::string("tab ") + editName(control));
        SetFocus(control == accountEdit ? passwordEdit : accountEdit);
        return 0;
    }
    if (message == WM_CHAR) {
        if (wParam == VK_RETURN || wParam == VK_TAB) return 0;
        logLine(std::string("char ") + editName(control) + " " + std::to_string(wParam));
    }
    return DefSubclassProc(control, message, wParam, lParam);
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: {
            mainWindow = window;
            const HINSTANCE instance = reinterpret_cast<CREATESTRUCTW*>(lParam)->hInstance;
            const DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL;
            const RECT account = scaled(window, 58, 619, 200, 22);
            const RECT password = scaled(window, 58, 675, 200, 22);
            accountEdit =
                CreateWindowExW(0, L"EDIT", L"", style, account.left, account.top, account.right - account.left,
                                account.bottom - account.top, window, nullptr, instance, nullptr);
            passwordEdit = CreateWindowExW(0, L"EDIT", L"", style | ES_PASSWORD, password.left, password.top,
                                           password.right - password.left, password.bottom - password.top, window,
                                           nullptr, instance, nullptr);
            SendMessageW(accountEdit, EM_LIMITTEXT, 20, 0);
            SetWindowSubclass(accountEdit, editProc, 1, 0);
            SetWindowSubclass(passwordEdit, editProc, 2, 0);
            SetFocus(accountEdit);
            return 0;
        }
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            RECT client{};
            GetClientRect(window, &client);
            fill(dc, client, RGB(20, 14, 10));
            fill(dc, scaled(window, 1328, 800, 288, 80), RGB(200, 60, 30));
            fill(dc, scaled(window, 40, 207, 238, 64), RGB(40, 120, 200));
            EndPaint(window, &paint);
            return 0;
        }
        case WM_LBUTTONDOWN:
            logLine("down " + pointText(window, lParam));
            SetCapture(window);
            return 0;
        case WM_LBUTTONUP:
            logLine("up " + pointText(window, lParam));
            if (GetCapture() == window) ReleaseCapture();
            return 0;
        case WM_DESTROY: PostQuitMessage(0); return 0;
        default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    if (__argc >= 2) {
        logPath = __wargv[1];
    } else {  // started like the launcher, without arguments: log beside itself
        wchar_t self[32768];
        const DWORD length = GetModuleFileNameW(nullptr, self, 32768);
        logPath.assign(self, length);
        logPath = logPath.substr(0, logPath.find_last_of(L"\\/") + 1) + L"fake_launcher_window.log";
    }
    const int width = __argc >= 4 ? _wtoi(__wargv[2]) : 832;
    const int height = __argc >= 4 ? _wtoi(__wargv[3]) : 470;

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"TinderhallowLauncherWindow";
    if (!RegisterClassW(&windowClass)) return 1;

    const DWORD style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    RECT frame{0, 0, width, height};
    AdjustWindowRect(&frame, style, FALSE);
    const std::wstring title = L"Tinderhallow Launcher  -  build " + utf8ToWide(__DATE__ " " __TIME__);
    HWND window =
        CreateWindowExW(0, L"TinderhallowLauncherWindow", title.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                        frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
    if (!window) return 1;
    ShowWindow(window, show);
    UpdateWindow(window);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
