#include "ui/main_window.h"

#include "account/game_launch.h"
#include "account/local_settings.h"
#include "account/login_worker.h"
#include "base/handles.h"
#include "base/product.h"
#include "base/secret_text.h"
#include "base/utf8_paths.h"
#include "delivery/patch_notes_worker.h"
#include "delivery/release_check.h"
#include "startup/instance_guard.h"
#include "ui/dpi.h"
#include "ui/graphics.h"
#include "ui/launcher_state.h"
#include "ui/renderer.h"
#include "update/update_worker.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <atomic>
#include <exception>
#include <memory>
#include <thread>
#include <utility>

namespace {

constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTimerPeriodMs = 100;
constexpr UINT_PTR kAccountEditId = 1;
constexpr UINT_PTR kPasswordEditId = 2;
constexpr COLORREF kEditText = RGB(244, 219, 169);
constexpr COLORREF kEditBackground = RGB(12, 8, 6);
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;

// UI-thread values beside the shared state; only the window code touches them.
HWND accountEdit = nullptr;
HWND passwordEdit = nullptr;
GdiObject<HBRUSH> editBrush;
GdiObject<HFONT> editFont;
// The change count the window was last repainted for; none at first.
std::uint64_t paintedChanges = UINT64_MAX;
// The close a worker asked for is on its way.
bool closePosted = false;

// A worker that cannot be started is a fatal error of the process.
template <typename Function, typename... Args>
void startDetached(Function&& function, Args&&... args) noexcept {
    try {
        std::thread(std::forward<Function>(function), std::forward<Args>(args)...).detach();
    } catch (...) {
        std::terminate();
    }
}

void startReleaseCheck(ReleaseCheckKind kind) { startDetached(runReleaseCheck, kind); }
void startUpdate() { startDetached(runUpdateWorker); }

// One update per UpdateAvailable episode: the timer's automatic start and a
// press of UPDATE both claim it here, so they can never run two workers on
// one install folder before the first has left the phase.
void startUpdateOnce() {
    if (claimUpdate()) startUpdate();
}

// One game launch at a time: the ticket request takes a while, and a
// double-click on PLAY would otherwise fetch two tickets and start the game
// twice. A launch that started the game has already posted WM_CLOSE when it
// ends, and posted messages are handled before later clicks.
std::atomic<bool> gameLaunchRunning{false};

void startGameLaunch(HWND window) {
    if (gameLaunchRunning.exchange(true)) return;
    startDetached([window] {
        launchGame(window);
        // A launch that started the game asked the window to close, which the
        // timer may not have seen yet: no click may start a second one.
        if (!windowCloseRequested()) gameLaunchRunning = false;
    });
}

std::string editText(HWND edit) {
    wchar_t buffer[256] = {};
    const int length = GetWindowTextW(edit, buffer, 256);
    std::string text = wideToUtf8(std::wstring_view(buffer, length > 0 ? static_cast<std::size_t>(length) : 0));
    SecureZeroMemory(buffer, sizeof buffer);
    return text;
}

void focusLoginForm() { SetFocus(GetWindowTextLengthW(accountEdit) == 0 ? accountEdit : passwordEdit); }

void showEdits(bool show) {
    ShowWindow(accountEdit, show ? SW_SHOW : SW_HIDE);
    ShowWindow(passwordEdit, show ? SW_SHOW : SW_HIDE);
}

void onLoginFinished(const FinishedLogin& finished) {
    if (finished.end == LoginEnd::Succeeded) {
        // An empty name removes one remembered earlier.
        saveRememberedAccount(currentLauncherDir(), finished.rememberName ? finished.accountName : std::string());
        SetWindowTextW(passwordEdit, L"");
        showEdits(false);
    } else {
        SetWindowTextW(passwordEdit, L"");
        SetFocus(passwordEdit);
    }
}

// Takes up what workers left in the state, then repaints when what the state
// shows changed since the last repaint. The timer calls it for the workers'
// changes, the input handlers right after their own.
void followState(HWND window) {
    const FinishedLogin finished = takeFinishedLogin();
    if (finished.end != LoginEnd::None) onLoginFinished(finished);
    if (!closePosted && windowCloseRequested()) {
        closePosted = true;
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
    const std::uint64_t changes = changeCount();
    if (changes == paintedChanges) return;
    paintedChanges = changes;
    InvalidateRect(window, nullptr, FALSE);
    // A worker can sign the player out (an expired session at PLAY); the form
    // it leaves drawn must be typeable without a click first.
    if (!isLoggedIn() && !IsWindowVisible(accountEdit)) {
        showEdits(true);
        focusLoginForm();
    }
}

LRESULT CALLBACK editSubclassProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    if (message == WM_KEYDOWN && wParam == VK_RETURN) {
        PostMessageW(GetParent(edit), SubmitLoginMessage, 0, 0);
        return 0;
    }
    if (message == WM_KEYDOWN && wParam == VK_TAB) {
        SetFocus(edit == accountEdit ? passwordEdit : accountEdit);
        return 0;
    }
    if (message == WM_CHAR && (wParam == L'\r' || wParam == L'\t')) return 0;  // no beep, no character
    return DefSubclassProc(edit, message, wParam, lParam);
}

HWND createEdit(HWND window, DWORD extraStyle, int limit, UINT_PTR id) {
    HWND edit = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL | extraStyle, 0, 0,
                                10, 10, window, reinterpret_cast<HMENU>(id),
                                reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(window, GWLP_HINSTANCE)), nullptr);
    if (edit != nullptr) {
        SendMessageW(edit, EM_SETLIMITTEXT, static_cast<WPARAM>(limit), 0);
        SetWindowSubclass(edit, editSubclassProc, id, 0);
    }
    return edit;
}

void onCreate(HWND window) {
    recordLauncherWindow(window);
    SetTimer(window, kTimerId, kTimerPeriodMs, nullptr);
    editBrush.reset(CreateSolidBrush(kEditBackground));
    accountEdit = createEdit(window, 0, 20, kAccountEditId);
    passwordEdit = createEdit(window, ES_PASSWORD, 64, kPasswordEditId);

    const std::filesystem::path launcherDir = currentLauncherDir();
    initWindowState(loadServerUrl(launcherDir));
    const std::string remembered = loadRememberedAccount(launcherDir);
    if (!remembered.empty()) SetWindowTextW(accountEdit, utf8ToWide(remembered).c_str());
    layoutEditControls(window);
    focusLoginForm();

    startReleaseCheck(ReleaseCheckKind::Quick);
    startDetached(runPatchNotes);
}

void onDestroy(HWND window) {
    KillTimer(window, kTimerId);
    editFont.reset();
    editBrush.reset();
    PostQuitMessage(0);
}

void onPaint(HWND window) {
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(window, &paint);
    if (dc != nullptr) {
        const LauncherView view = snapshot();
        paintFrame(window, dc, view, launcherBackground());
    }
    EndPaint(window, &paint);
}

void onTimer(HWND window) {
    if (claimAutomaticUpdate()) startUpdate();
    followState(window);
}

void onMouseMove(HWND window, LPARAM position) {
    const bool loggedIn = isLoggedIn();
    const HitCode code = hitTest(window, position, !loggedIn, loggedIn);
    setHover(code);
    // "Remember my name" keeps the arrow although it is clickable.
    SetCursor(LoadCursorW(nullptr, code != HitNone && code != HitRememberName ? IDC_HAND : IDC_ARROW));
    TRACKMOUSEEVENT track{sizeof(TRACKMOUSEEVENT), TME_LEAVE, window, 0};
    TrackMouseEvent(&track);
    followState(window);
}

void onButtonDown(HWND window, LPARAM position) {
    const bool loggedIn = isLoggedIn();
    const HitCode code = hitTest(window, position, !loggedIn, loggedIn);
    setPressed(code);
    SetCapture(window);
    followState(window);
}

void runCommand(HWND window, HitCode code, LauncherPhase phase, bool loggedIn) {
    switch (code) {
        case HitMainButton:
            if (phase == LauncherPhase::Ready) {
                if (loggedIn) startGameLaunch(window);
                else setStatusLine("Log in first, then press PLAY.");
            } else if (phase == LauncherPhase::UpdateAvailable) {
                if (loggedIn) startUpdateOnce();
                else setStatusLine("Log in first: the download starts right after.");
            } else if (phase == LauncherPhase::Error) {
                startReleaseCheck(ReleaseCheckKind::Quick);
            }
            break;
        case HitRepair:
            // REPAIR reads every file: it is how a player gets past the record.
            if (phase != LauncherPhase::Checking && phase != LauncherPhase::Updating)
                startReleaseCheck(ReleaseCheckKind::Full);
            break;
        case HitLogIn: submitLogin(); break;
        case HitCreateAccount: openWebsitePage(window, "/community/register"); break;
        case HitRememberName: toggleRememberName(); break;
        case HitSwitchAccount:
            signOut("");
            showEdits(true);
            focusLoginForm();
            break;
        case HitHomeTab:
        case HitNewsTab:
        case HitPatchNotesTab: setNavTab(code - HitHomeTab); break;
        case HitCommunityTab: openWebsitePage(window, "/community"); break;
        case HitNone: break;
    }
}

void onButtonUp(HWND window, LPARAM position) {
    const HitCode pressed = static_cast<HitCode>(releasePressed());
    if (GetCapture() == window) ReleaseCapture();
    const CommandState state = commandState();
    const HitCode released = hitTest(window, position, !state.loggedIn, state.loggedIn);
    // Press and release on one region.
    if (released == pressed) runCommand(window, released, state.phase, state.loggedIn);
    followState(window);
    showEdits(!isLoggedIn());
}

void onMouseLeave(HWND window) {
    setHover(HitNone);
    followState(window);
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: onCreate(window); return 0;
        case WM_DESTROY: onDestroy(window); return 0;
        case WM_SIZE: layoutEditControls(window); return 0;
        case WM_PAINT: onPaint(window); return 0;
        case WM_SETCURSOR:
            if (LOWORD(lParam) == HTCLIENT) return TRUE;  // keep the cursor chosen on mouse move
            break;
        case WM_TIMER:
            if (wParam == kTimerId) onTimer(window);
            return 0;
        case WM_CTLCOLOREDIT: {
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, kEditText);
            SetBkColor(dc, kEditBackground);
            return reinterpret_cast<LRESULT>(editBrush.get());
        }
        case WM_MOUSEMOVE: onMouseMove(window, lParam); return 0;
        case WM_LBUTTONDOWN: onButtonDown(window, lParam); return 0;
        case WM_LBUTTONUP: onButtonUp(window, lParam); return 0;
        case WM_MOUSELEAVE: onMouseLeave(window); return 0;
        case WM_DPICHANGED: applyDpiChange(window, *reinterpret_cast<const RECT*>(lParam)); return 0;
        case SubmitLoginMessage: submitLogin(); return 0;
        case BackgroundPreparedMessage: InvalidateRect(window, nullptr, FALSE); return 0;
        default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

HitCode hitTest(HWND window, LPARAM position, bool loginFormShown, bool loggedIn) {
    RECT client{};
    GetClientRect(window, &client);
    const DesignScale scale = designScale(client.right - client.left, client.bottom - client.top);
    const float x = static_cast<float>(GET_X_LPARAM(position)) / scale.sx;
    const float y = static_cast<float>(GET_Y_LPARAM(position)) / scale.sy;
    return hitTestDesign(x, y, loginFormShown, loggedIn);
}

void layoutEditControls(HWND window) {
    if (accountEdit == nullptr || passwordEdit == nullptr) return;
    RECT client{};
    GetClientRect(window, &client);
    const DesignScale scale = designScale(client.right - client.left, client.bottom - client.top);
    for (auto [edit, box] : {std::pair{accountEdit, kAccountBoxRect}, std::pair{passwordEdit, kPasswordBoxRect}}) {
        const PixelRect r = editControlRect(box, scale);
        MoveWindow(edit, r.x, r.y, r.width, r.height, TRUE);
    }
    // The edits still use the old font until they are given the new one.
    GdiObject<HFONT> font(CreateFontW(editFontHeight(scale), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                      OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                      DEFAULT_PITCH | FF_DONTCARE, launcherFontFamilyName().c_str()));
    SendMessageW(accountEdit, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
    SendMessageW(passwordEdit, WM_SETFONT, reinterpret_cast<WPARAM>(font.get()), TRUE);
    editFont = std::move(font);
}

void submitLogin() {
    std::string accountName = editText(accountEdit);
    std::string password = editText(passwordEdit);
    std::string serverUrl;
    if (beginLogin(!accountName.empty() && !password.empty(), serverUrl) != LoginStart::Started) {
        wipeSecret(password);
        return;
    }
    // The timer repaints the form when it sees `connecting`.
    auto request = std::make_unique<LoginRequest>();
    request->accountName = std::move(accountName);
    request->password = std::move(password);
    request->serverUrl = std::move(serverUrl);
    startDetached(runLoginWorker, std::move(request));
}

void openWebsitePage(HWND window, const std::string& path) {
    const std::wstring address = utf8ToWide(websiteAddressFor(currentSession().serverUrl, path));
    // Nothing to report when no browser starts.
    ShellExecuteW(window, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

int runLauncherWindow(HINSTANCE instance, int showCommand, ULONG_PTR graphicsToken) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = 0;
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = loadProgramIcon(instance, SM_CXICON, SM_CYICON);
    windowClass.hIconSm = loadProgramIcon(instance, SM_CXSMICON, SM_CYSMICON);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kLauncherWindowClass;
    RegisterClassExW(&windowClass);

    // Physical pixels: sized for the primary monitor first, then for the
    // monitor the window opened on.
    const HMONITOR primary = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    {
        // Decoded and scaled on a thread of its own while the window is made.
        const SIZE client = launcherClientSize(primary, kWindowStyle);
        prepareBackground(launcherBackground(), currentLauncherDir(), client.cx, client.cy);
    }
    const SIZE outer = launcherWindowSize(primary, kWindowStyle);
    const std::wstring title = utf8ToWide(launcherWindowTitle());
    HWND window = CreateWindowExW(0, kLauncherWindowClass, title.c_str(), kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                                  outer.cx, outer.cy, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) {
        releaseBackground(launcherBackground());
        stopGraphics(graphicsToken);
        return 1;
    }
    fitWindowToItsMonitor(window, kWindowStyle);
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    MSG message{};
    int exitCode = 0;
    for (;;) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0) {
            exitCode = static_cast<int>(message.wParam);
            break;
        }
        if (got == -1) break;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    releaseBackground(launcherBackground());
    stopGraphics(graphicsToken);
    return exitCode;
}
