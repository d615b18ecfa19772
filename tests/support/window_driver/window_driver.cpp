// WindowDriver: drives the launcher window from outside for tests. It finds the
// top-level window of class "TinderhallowLauncherWindow" in the same Wine
// prefix, types into its two edit controls, posts mouse and key messages at
// design coordinates scaled to the current client size, and prints what it
// sees as "key value" lines (UTF-8).
//
//   WindowDriver COMMAND [ARGS...] [";" COMMAND [ARGS...]]...
//   WindowDriver --script FILE      one command a line; "double quotes" group
//                                   words, with \" \\ \n \t escapes inside
//
// Exit code 0 when every command succeeded; 1 at the first failure, with the
// reason on stderr.

#include "base/utf8_paths.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kWindowClass[] = L"TinderhallowLauncherWindow";
constexpr double kDesignWidth = 1664.0;
constexpr double kDesignHeight = 940.0;
// How long a command waits for the window to act on what it posted.
constexpr DWORD kActionTimeoutMs = 10000;
constexpr DWORD kPollMs = 20;

void writeBytes(DWORD which, const std::string& text) {
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void printLine(const std::string& text) { writeBytes(STD_OUTPUT_HANDLE, text + "\n"); }

bool fail(std::string* error, const std::string& message) {
    if (error) *error = message;
    return false;
}

[[nodiscard]] bool parseInt(const std::string& text, long long low, long long high, long long& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size() || parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

[[nodiscard]] bool parseDouble(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(parsed)) return false;
    value = parsed;
    return true;
}

std::string windowText(HWND window) {
    // For another process's window this reads the text the system keeps,
    // without sending WM_GETTEXT.
    wchar_t buffer[1024] = {};
    const int length = GetWindowTextW(window, buffer, 1024);
    return wideToUtf8(std::wstring_view(buffer, length > 0 ? static_cast<size_t>(length) : 0));
}

std::string controlText(HWND control) {
    // Edit contents live in the control, so this has to ask it.
    wchar_t buffer[1024] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG,
                             kActionTimeoutMs, &copied))
        return {};
    return wideToUtf8(std::wstring_view(buffer, std::min<size_t>(copied, 1023)));
}

std::vector<HWND> launcherWindows() {
    std::vector<HWND> found;
    HWND previous = nullptr;
    while ((previous = FindWindowExW(nullptr, previous, kWindowClass, nullptr)) != nullptr) found.push_back(previous);
    return found;
}

// The launcher's window; a visible one is preferred when an old one is still
// closing beside a new one.
HWND findLauncherWindow() {
    const std::vector<HWND> windows = launcherWindows();
    for (HWND window : windows)
        if (IsWindowVisible(window)) return window;
    return windows.empty() ? nullptr : windows.front();
}

[[nodiscard]] bool requireWindow(HWND& window, std::string* error) {
    window = findLauncherWindow();
    if (window == nullptr) return fail(error, "no window of class TinderhallowLauncherWindow");
    return true;
}

struct EditControls {
    HWND account = nullptr;
    HWND password = nullptr;
};

// The account edit is the first EDIT child and the password edit the second;
// if only the first one masks its text they were created the other way round.
[[nodiscard]] bool findEdits(HWND window, EditControls& edits, std::string* error) {
    std::vector<HWND> found;
    HWND previous = nullptr;
    while ((previous = FindWindowExW(window, previous, L"Edit", nullptr)) != nullptr) found.push_back(previous);
    if (found.size() < 2)
        return fail(error, "the launcher window has " + std::to_string(found.size()) + " edit controls, expected 2");
    edits.account = found[0];
    edits.password = found[1];
    const auto masks = [](HWND control) { return (GetWindowLongW(control, GWL_STYLE) & ES_PASSWORD) != 0; };
    if (masks(edits.account) && !masks(edits.password)) std::swap(edits.account, edits.password);
    return true;
}

[[nodiscard]] bool pickEdit(HWND window, const std::string& which, HWND& control, std::string* error) {
    EditControls edits;
    if (!findEdits(window, edits, error)) return false;
    if (which == "account") control = edits.account;
    else if (which == "password") control = edits.password;
    else return fail(error, "expected account or password, got \"" + which + "\"");
    return true;
}

SIZE clientSize(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    return {client.right - client.left, client.bottom - client.top};
}

// Design units to client pixels, the inverse of the window's own hit-test
// scaling (a side below 2 pixels counts as 1).
POINT designToClient(HWND window, double x, double y) {
    const SIZE size = clientSize(window);
    const double width = size.cx < 2 ? 1.0 : static_cast<double>(size.cx);
    const double height = size.cy < 2 ? 1.0 : static_cast<double>(size.cy);
    return {static_cast<LONG>(std::lround(x * width / kDesignWidth)),
            static_cast<LONG>(std::lround(y * height / kDesignHeight))};
}

[[nodiscard]] bool parsePoint(HWND window, const std::vector<std::string>& args, POINT& point, std::string* error) {
    double x = 0, y = 0;
    if (args.size() != 2 || !parseDouble(args[0], x) || !parseDouble(args[1], y))
        return fail(error, "expected design coordinates X Y");
    point = designToClient(window, x, y);
    return true;
}

[[nodiscard]] bool post(HWND target, UINT message, WPARAM wParam, LPARAM lParam, std::string* error) {
    if (!PostMessageW(target, message, wParam, lParam))
        return fail(error, "PostMessage failed (Windows error " + std::to_string(GetLastError()) + ")");
    return true;
}

HWND captureOf(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return nullptr;
    return info.hwndCapture;
}

HWND focusOf(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

[[nodiscard]] bool waitFor(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (done()) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(kPollMs);
    }
}

// The real pointer follows the posted messages so that the window's
// mouse-leave tracking agrees with them; best effort.
void movePointer(HWND window, POINT client) {
    POINT screen = client;
    if (ClientToScreen(window, &screen)) SetCursorPos(screen.x, screen.y);
}

// The window captures the mouse on WM_LBUTTONDOWN and releases it on
// WM_LBUTTONUP, so the capture shows when each posted press has been handled.
[[nodiscard]] bool pressAt(HWND window, POINT point, std::string* error) {
    movePointer(window, point);
    const LPARAM where = MAKELPARAM(point.x, point.y);
    if (!post(window, WM_MOUSEMOVE, 0, where, error) || !post(window, WM_LBUTTONDOWN, MK_LBUTTON, where, error))
        return false;
    if (!waitFor([&] { return captureOf(window) == window; }, kActionTimeoutMs))
        return fail(error, "the window did not capture the mouse after WM_LBUTTONDOWN");
    return true;
}

[[nodiscard]] bool releaseAt(HWND window, POINT point, std::string* error) {
    movePointer(window, point);
    const LPARAM where = MAKELPARAM(point.x, point.y);
    if (!post(window, WM_MOUSEMOVE, MK_LBUTTON, where, error) || !post(window, WM_LBUTTONUP, 0, where, error))
        return false;
    if (!waitFor([&] { return captureOf(window) != window; }, kActionTimeoutMs))
        return fail(error, "the window kept the mouse capture after WM_LBUTTONUP");
    return true;
}

// Waits until the window's thread answers: it has then handled everything
// that was sent to it before.
[[nodiscard]] bool roundTrip(HWND window, DWORD timeoutMs) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, timeoutMs, &result) != 0;
}

std::string editsState(const EditControls& edits) {
    const bool account = IsWindowVisible(edits.account) != FALSE;
    const bool password = IsWindowVisible(edits.password) != FALSE;
    if (account && password) return "visible";
    if (!account && !password) return "hidden";
    return "mixed";
}

// -- commands -----------------------------------------------------------------

using Args = std::vector<std::string>;

[[nodiscard]] bool cmdWaitWindow(const Args& args, std::string* error) {
    long long timeout = 0;
    if (args.size() != 1 || !parseInt(args[0], 0, 600000, timeout)) return fail(error, "expected TIMEOUT_MS");
    HWND window = nullptr;
    const bool appeared = waitFor(
        [&] {
            window = findLauncherWindow();
            return window != nullptr && IsWindowVisible(window) && roundTrip(window, 200);
        },
        static_cast<DWORD>(timeout));
    if (!appeared)
        return fail(error, "no visible window of class TinderhallowLauncherWindow within " + args[0] + " ms");
    const SIZE size = clientSize(window);
    printLine("title " + windowText(window));
    printLine("client " + std::to_string(size.cx) + " " + std::to_string(size.cy));
    return true;
}

[[nodiscard]] bool cmdWaitGone(const Args& args, std::string* error) {
    long long timeout = 0;
    if (args.size() != 1 || !parseInt(args[0], 0, 600000, timeout)) return fail(error, "expected TIMEOUT_MS");
    if (!waitFor([] { return launcherWindows().empty(); }, static_cast<DWORD>(timeout)))
        return fail(error, "a window of class TinderhallowLauncherWindow still exists after " + args[0] + " ms");
    printLine("gone");
    return true;
}

[[nodiscard]] bool cmdWindows(const Args& args, std::string* error) {
    if (!args.empty()) return fail(error, "expected no arguments");
    printLine("windows " + std::to_string(launcherWindows().size()));
    return true;
}

[[nodiscard]] bool cmdTitle(const Args& args, std::string* error) {
    if (!args.empty()) return fail(error, "expected no arguments");
    HWND window = nullptr;
    if (!requireWindow(window, error)) return false;
    printLine("title " + windowText(window));
    return true;
}

[[nodiscard]] bool cmdClientRect(const Args& args, std::string* error) {
    if (!args.empty()) return fail(error, "expected no arguments");
    HWND window = nullptr;
    if (!requireWindow(window, error)) return false;
    POINT origin{0, 0};
    if (!ClientToScreen(window, &origin)) return fail(error, "ClientToScreen failed");
    const SIZE size = clientSize(window);
    RECT frame{};
    GetWindowRect(window, &frame);
    printLine("client-rect " + std::to_string(origin.x) + " " + std::to_string(origin.y) + " " +
              std::to_string(size.cx) + " " + std::to_string(size.cy));
    printLine("window-rect " + std::to_string(frame.left) + " " + std::to_string(frame.top) + " " +
              std::to_string(frame.right - frame.left) + " " + std::to_string(frame.bottom - frame.top));
    return true;
}

// Replaces the edit's text in one synchronous WM_SETTEXT.
[[nodiscard]] bool typeInto(const std::string& which, const Args& args, std::string* error) {
    if (args.size() != 1) return fail(error, "expected TEXT");
    HWND window = nullptr, control = nullptr;
    if (!requireWindow(window, error) || !pickEdit(window, which, control, error)) return false;
    const std::wstring text = utf8ToWide(args[0]);
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                             kActionTimeoutMs, &result) ||
        !result)
        return fail(error, "WM_SETTEXT to the " + which + " edit failed");
    return true;
}

// Posted messages reach a window in order, so a posted EM_SETMODIFY(FALSE)
// after the input, seen through a sent EM_GETMODIFY, shows that the edit has
// handled all of it. The launcher does not use the modified flag.
[[nodiscard]] bool waitUntilHandled(HWND control, const std::string& what, std::string* error) {
    DWORD_PTR modified = 0;
    if (!SendMessageTimeoutW(control, EM_SETMODIFY, TRUE, 0, SMTO_ABORTIFHUNG, kActionTimeoutMs, &modified) ||
        !post(control, EM_SETMODIFY, FALSE, 0, error))
        return fail(error, "the " + what + " edit does not answer");
    const bool handled = waitFor(
        [&] {
            return SendMessageTimeoutW(control, EM_GETMODIFY, 0, 0, SMTO_ABORTIFHUNG, kActionTimeoutMs, &modified) &&
                   modified == 0;
        },
        kActionTimeoutMs);
    if (!handled) return fail(error, "the " + what + " edit did not handle the posted input");
    return true;
}

// Posts one WM_CHAR per UTF-16 unit, as typing would after TranslateMessage,
// so the edit's subclass sees every key (and the text limit applies).
[[nodiscard]] bool keysInto(const std::string& which, const Args& args, std::string* error) {
    if (args.size() != 1) return fail(error, "expected TEXT");
    HWND window = nullptr, control = nullptr;
    if (!requireWindow(window, error) || !pickEdit(window, which, control, error)) return false;
    for (wchar_t unit : utf8ToWide(args[0]))
        if (!post(control, WM_CHAR, static_cast<WPARAM>(unit), 1, error)) return false;
    return waitUntilHandled(control, which, error);
}

[[nodiscard]] bool cmdText(const Args& args, std::string* error) {
    if (args.size() != 1) return fail(error, "expected account or password");
    HWND window = nullptr, control = nullptr;
    if (!requireWindow(window, error) || !pickEdit(window, args[0], control, error)) return false;
    printLine("text " + controlText(control));
    return true;
}

[[nodiscard]] bool pressKey(WPARAM key, const Args& args, std::string* error) {
    if (args.size() != 1) return fail(error, "expected account or password");
    HWND window = nullptr, control = nullptr;
    if (!requireWindow(window, error) || !pickEdit(window, args[0], control, error)) return false;
    const UINT scan = MapVirtualKeyW(static_cast<UINT>(key), MAPVK_VK_TO_VSC);
    const LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    const LPARAM up = down | (LPARAM{1} << 30) | (LPARAM{1} << 31);
    return post(control, WM_KEYDOWN, key, down, error) && post(control, WM_KEYUP, key, up, error) &&
           waitUntilHandled(control, args[0], error);
}

[[nodiscard]] bool cmdFocus(const Args& args, std::string* error) {
    if (!args.empty()) return fail(error, "expected no arguments");
    HWND window = nullptr;
    EditControls edits;
    if (!requireWindow(window, error) || !findEdits(window, edits, error)) return false;
    (void)roundTrip(window, kActionTimeoutMs);  // a hung window still reports its last focus
    const HWND focus = focusOf(window);
    printLine(std::string("focus ") + (focus == edits.account    ? "account"
                                       : focus == edits.password ? "password"
                                       : focus == window         ? "window"
                                       : focus == nullptr        ? "none"
                                                                 : "other"));
    return true;
}

[[nodiscard]] bool cmdWaitFocus(const Args& args, std::string* error) {
    long long timeout = 0;
    if (args.size() != 2 || !parseInt(args[1], 0, 600000, timeout))
        return fail(error, "expected account|password TIMEOUT_MS");
    HWND window = nullptr, control = nullptr;
    if (!requireWindow(window, error) || !pickEdit(window, args[0], control, error)) return false;
    if (!waitFor([&] { return focusOf(window) == control; }, static_cast<DWORD>(timeout)))
        return fail(error, "the " + args[0] + " edit has no focus after " + args[1] + " ms");
    printLine("focus " + args[0]);
    return true;
}

[[nodiscard]] bool cmdClick(const Args& args, std::string* error) {
    HWND window = nullptr;
    POINT point{};
    if (!requireWindow(window, error) || !parsePoint(window, args, point, error)) return false;
    return pressAt(window, point, error) && releaseAt(window, point, error);
}

[[nodiscard]] bool cmdPress(const Args& args, std::string* error) {
    HWND window = nullptr;
    POINT point{};
    if (!requireWindow(window, error) || !parsePoint(window, args, point, error)) return false;
    return pressAt(window, point, error);
}

[[nodiscard]] bool cmdRelease(const Args& args, std::string* error) {
    HWND window = nullptr;
    POINT point{};
    if (!requireWindow(window, error) || !parsePoint(window, args, point, error)) return false;
    return releaseAt(window, point, error);
}

[[nodiscard]] bool cmdHover(const Args& args, std::string* error) {
    HWND window = nullptr;
    POINT point{};
    if (!requireWindow(window, error) || !parsePoint(window, args, point, error)) return false;
    movePointer(window, point);
    return post(window, WM_MOUSEMOVE, 0, MAKELPARAM(point.x, point.y), error);
}

[[nodiscard]] bool cmdEditsVisible(const Args& args, std::string* error) {
    if (!args.empty()) return fail(error, "expected no arguments");
    HWND window = nullptr;
    EditControls edits;
    if (!requireWindow(window, error) || !findEdits(window, edits, error)) return false;
    printLine("edits " + editsState(edits));
    return true;
}

[[nodiscard]] bool cmdWaitEdits(const Args& args, std::string* error) {
    long long timeout = 0;
    if (args.size() != 2 || (args[0] != "visible" && args[0] != "hidden") || !parseInt(args[1], 0, 600000, timeout))
        return fail(error, "expected visible|hidden TIMEOUT_MS");
    HWND window = nullptr;
    EditControls edits;
    if (!requireWindow(window, error) || !findEdits(window, edits, error)) return false;
    if (!waitFor([&] { return editsState(edits) == args[0]; }, static_cast<DWORD>(timeout)))
        return fail(error, "the edits are " + editsState(edits) + ", not " + args[0] + ", after " + args[1] + " ms");
    printLine("edits " + args[0]);
    return true;
}

[[nodiscard]] bool cmdClose(const Args& args, std::string* error) {
    if (!args.empty()) return fail(error, "expected no arguments");
    HWND window = nullptr;
    if (!requireWindow(window, error)) return false;
    return post(window, WM_CLOSE, 0, 0, error);
}

[[nodiscard]] bool cmdSync(const Args& args, std::string* error) {
    if (!args.empty()) return fail(error, "expected no arguments");
    HWND window = nullptr;
    if (!requireWindow(window, error)) return false;
    if (!roundTrip(window, kActionTimeoutMs)) return fail(error, "the window did not answer");
    return true;
}

[[nodiscard]] bool cmdSleep(const Args& args, std::string* error) {
    long long milliseconds = 0;
    if (args.size() != 1 || !parseInt(args[0], 0, 600000, milliseconds)) return fail(error, "expected MILLISECONDS");
    Sleep(static_cast<DWORD>(milliseconds));
    return true;
}

// Answers a message box of another program (a top-level dialog with the
// title TITLE), after printing its text with line breaks as "\n".
[[nodiscard]] bool cmdAnswerMessage(const Args& args, std::string* error) {
    long long timeout = 0;
    if (args.size() != 3 || !parseInt(args[2], 0, 600000, timeout))
        return fail(error, "expected TITLE yes|no|ok|retry|cancel TIMEOUT_MS");
    const int button = args[1] == "yes"      ? IDYES
                       : args[1] == "no"     ? IDNO
                       : args[1] == "ok"     ? IDOK
                       : args[1] == "retry"  ? IDRETRY
                       : args[1] == "cancel" ? IDCANCEL
                                             : 0;
    if (button == 0) return fail(error, "expected yes, no, ok, retry or cancel, got \"" + args[1] + "\"");
    const std::wstring title = utf8ToWide(args[0]);
    HWND box = nullptr;
    if (!waitFor([&] { return (box = FindWindowW(L"#32770", title.c_str())) != nullptr && IsWindowVisible(box); },
                 static_cast<DWORD>(timeout)))
        return fail(error, "no message box titled \"" + args[0] + "\" within " + args[2] + " ms");
    // A message box keeps its text in the static control 0xFFFF.
    std::string text;
    for (const char c : controlText(GetDlgItem(box, 0xFFFF))) {
        if (c == '\n') text += "\\n";
        else if (c != '\r') text += c;
    }
    printLine("message " + text);
    HWND control = GetDlgItem(box, button);
    if (control == nullptr) return fail(error, "the message box has no " + args[1] + " button");
    if (!post(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(control), error)) return false;
    if (!waitFor([&] { return !IsWindow(box); }, kActionTimeoutMs))
        return fail(error, "the message box stayed open after " + args[1]);
    return true;
}

struct Command {
    const char* usage;
    std::function<bool(const Args&, std::string*)> run;
};

const std::map<std::string, Command>& commands() {
    static const std::map<std::string, Command> table = {
        {"wait-window", {"TIMEOUT_MS", cmdWaitWindow}},
        {"wait-gone", {"TIMEOUT_MS", cmdWaitGone}},
        {"windows", {"", cmdWindows}},
        {"title", {"", cmdTitle}},
        {"client-rect", {"", cmdClientRect}},
        {"type-account", {"TEXT", [](const Args& a, std::string* e) { return typeInto("account", a, e); }}},
        {"type-password", {"TEXT", [](const Args& a, std::string* e) { return typeInto("password", a, e); }}},
        {"keys-account", {"TEXT", [](const Args& a, std::string* e) { return keysInto("account", a, e); }}},
        {"keys-password", {"TEXT", [](const Args& a, std::string* e) { return keysInto("password", a, e); }}},
        {"text", {"account|password", cmdText}},
        {"press-enter", {"account|password", [](const Args& a, std::string* e) { return pressKey(VK_RETURN, a, e); }}},
        {"press-tab", {"account|password", [](const Args& a, std::string* e) { return pressKey(VK_TAB, a, e); }}},
        {"focus", {"", cmdFocus}},
        {"wait-focus", {"account|password TIMEOUT_MS", cmdWaitFocus}},
        {"click", {"X Y", cmdClick}},
        {"press", {"X Y", cmdPress}},
        {"release", {"X Y", cmdRelease}},
        {"hover", {"X Y", cmdHover}},
        {"edits-visible", {"", cmdEditsVisible}},
        {"wait-edits", {"visible|hidden TIMEOUT_MS", cmdWaitEdits}},
        {"close", {"", cmdClose}},
        {"sync", {"", cmdSync}},
        {"sleep", {"MILLISECONDS", cmdSleep}},
        {"answer-message", {"TITLE yes|no|ok|retry|cancel TIMEOUT_MS", cmdAnswerMessage}},
    };
    return table;
}

int usage(const std::string& problem) {
    std::string text = problem.empty() ? "" : problem + "\n";
    text +=
        "usage: WindowDriver COMMAND [ARGS...] [; COMMAND [ARGS...]]...\n"
        "       WindowDriver --script FILE\n"
        "X Y are design units (1664 x 940 canvas) scaled to the client area.\ncommands:\n";
    for (const auto& [name, command] : commands())
        text += "  " + name + (*command.usage ? std::string(" ") + command.usage : std::string()) + "\n";
    writeBytes(STD_ERROR_HANDLE, text);
    return 1;
}

// Splits one script line into words: blanks separate, double quotes group,
// and inside quotes \" \\ \n \t are escapes.
[[nodiscard]] bool splitScriptLine(const std::string& line, Args& words, std::string* error) {
    words.clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        if (i >= line.size()) break;
        std::string word;
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                const char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c != '\\') {
                    word += c;
                    continue;
                }
                if (i >= line.size()) break;
                const char escaped = line[i++];
                word += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
            }
            if (!closed) return fail(error, "unterminated quote in script line: " + line);
            if (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
                return fail(error, "text right after a closing quote in script line: " + line);
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') word += line[i++];
        }
        words.push_back(word);
    }
    return true;
}

[[nodiscard]] bool readScript(const std::string& path, std::vector<Args>& script, std::string* error) {
    std::ifstream in(pathFromUtf8(path), std::ios::binary);
    if (!in) return fail(error, "cannot read script " + path);
    std::string line;
    while (std::getline(in, line)) {
        Args words;
        if (!splitScriptLine(line, words, error)) return false;
        if (!words.empty() && words[0][0] != '#') script.push_back(words);
    }
    return true;
}

int runScript(const std::vector<Args>& script) {
    for (const Args& words : script) {
        const auto found = commands().find(words[0]);
        if (found == commands().end()) return usage("unknown command: " + words[0]);
        std::string error;
        if (!found->second.run(Args(words.begin() + 1, words.end()), &error)) {
            writeBytes(STD_ERROR_HANDLE, words[0] + ": " + error + "\n");
            return 1;
        }
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        Args args;
        for (int i = 1; i < argc; ++i) args.push_back(wideToUtf8(argv[i]));
        if (args.empty()) return usage("");
        std::vector<Args> script;
        if (args[0] == "--script") {
            if (args.size() != 2) return usage("--script takes one FILE");
            std::string error;
            if (!readScript(args[1], script, &error)) return usage(error);
        } else {
            script.emplace_back();
            for (const std::string& word : args) {
                if (word == ";") script.emplace_back();
                else script.back().push_back(word);
            }
            script.erase(std::remove_if(script.begin(), script.end(), [](const Args& a) { return a.empty(); }),
                         script.end());
        }
        if (script.empty()) return usage("no command");
        return runScript(script);
    } catch (const std::exception& e) {
        writeBytes(STD_ERROR_HANDLE, std::string("internal error: ") + e.what() + "\n");
        return 1;
    } catch (...) {
        writeBytes(STD_ERROR_HANDLE, "internal error\n");
        return 1;
    }
}
