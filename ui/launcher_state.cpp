#include "ui/launcher_state.h"

#include "base/diagnostic_log.h"

#include <chrono>
#include <type_traits>
#include <utility>

std::vector<NewsCard> LauncherState::builtInNews() {
    return {
        {"Welcome to Tinderhallow", "",
         "One account for the game, the forum and the website. Log in here, let the launcher keep the game up to "
         "date, then press PLAY."},
        {"Faces and capes", "",
         "Choose your face and your cape on the website profile. They appear on your forum posts and on your "
         "fighter in the game."},
    };
}

std::vector<PatchNotesEntry> LauncherState::builtInPatchNotes() {
    return {{"Test build",
             {"Self-installing launcher with login", "One-time launch ticket: PLAY takes you straight to the campfire",
              "Faster downloads", "Face and cape uploads"}}};
}

namespace {

// The shared state and its lock, reached only through the operations here.
struct SharedState {
    std::mutex mutex;
    LauncherState state;
};

SharedState& shared() {
    static SharedState instance;
    return instance;
}

// Runs `read` on the shared state in one locked section.
template <typename Read>
auto readShared(Read&& read) {
    SharedState& instance = shared();
    std::lock_guard<std::mutex> lock(instance.mutex);
    return read(static_cast<const LauncherState&>(instance.state));
}

struct ObserverSlot {
    std::mutex mutex;
    StatusObserver observer;
};

ObserverSlot& observerSlot() {
    static ObserverSlot slot;
    return slot;
}

StatusObserver currentObserver() {
    ObserverSlot& slot = observerSlot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    return slot.observer;
}

// Whether a change reaches the status observer.
enum class Report { None, Status };

// The one writer of the shared state. `change` runs under the lock and tells
// whether anything the window shows changed; the counter then moves on. A
// status report reaches the observer once the lock is released.
template <typename Change>
void writeShared(Report report, Change&& change) {
    const StatusObserver observer = report == Report::Status ? currentObserver() : StatusObserver();
    SharedState& instance = shared();
    LauncherState& state = instance.state;
    LauncherPhase phase = LauncherPhase::Checking;
    std::string title;
    std::string detail;
    float progress = 0.0f;
    {
        std::lock_guard<std::mutex> lock(instance.mutex);
        if (change(state)) ++state.changeCount;
        if (observer) {
            phase = state.phase;
            title = state.title;
            detail = state.detail;
            progress = state.progress;
        }
    }
    if (observer) observer(phase, title, detail, progress);
}

// Progress in thousandths is what the window draws.
long long shownProgress(float progress) { return static_cast<long long>(progress * 1000.0f); }

const char* phaseName(LauncherPhase phase) {
    switch (phase) {
        case LauncherPhase::Checking: return "checking";
        case LauncherPhase::Ready: return "ready";
        case LauncherPhase::UpdateAvailable: return "update available";
        case LauncherPhase::Updating: return "updating";
        case LauncherPhase::Error: return "error";
    }
    return "unknown";
}

// A new phase or title always; a new detail alone (progress) at most once a
// second, so that a long download does not fill the log.
void logStatusChange(const LauncherState& state, LauncherPhase phase, const std::string& title,
                     const std::string& detail) {
    using Clock = std::chrono::steady_clock;
    static Clock::time_point lastDetailOnly;  // guarded by the state's lock
    const bool phaseOrTitle = state.phase != phase || state.title != title;
    if (!phaseOrTitle && state.detail == detail) return;
    const Clock::time_point now = Clock::now();
    if (!phaseOrTitle) {
        if (now - lastDetailOnly < std::chrono::seconds(1)) return;
        lastDetailOnly = now;
    }
    logEvent(phase == LauncherPhase::Error ? LogLevel::Warning : LogLevel::Info, "status",
             std::string(phaseName(phase)) + ": " + title + (detail.empty() ? "" : " | " + detail));
}

// Stores the status; true when it changed what the window shows.
bool storeStatus(LauncherState& state, LauncherPhase phase, std::string&& title, std::string&& detail, float progress) {
    if (progress < 0.0f) progress = 0.0f;
    if (progress > 1.0f) progress = 1.0f;
    logStatusChange(state, phase, title, detail);
    const bool changed = state.phase != phase || state.title != title || state.detail != detail ||
                         shownProgress(state.progress) != shownProgress(progress);
    state.phase = phase;
    state.title = std::move(title);
    state.detail = std::move(detail);
    state.progress = progress;
    // A new check opens a new update episode. The timer also resets this
    // when it sees Checking, but a check can begin and end between two ticks.
    if (phase == LauncherPhase::Checking) state.autoUpdateStarted = false;
    return changed;
}

template <typename Value>
bool assign(Value& field, std::type_identity_t<Value> value) {
    if (field == value) return false;
    field = std::move(value);
    return true;
}

}  // namespace

void setStatusObserver(StatusObserver observer) {
    ObserverSlot& slot = observerSlot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.observer = std::move(observer);
}

LauncherView snapshot(const LauncherState& state) {
    LauncherView view;
    view.phase = (state.phase >= LauncherPhase::Checking && state.phase <= LauncherPhase::Updating)
                     ? state.phase
                     : LauncherPhase::Error;
    view.title = state.title;
    view.detail = state.detail;
    view.progress = state.progress;
    view.showLoginForm = !state.loggedIn;
    view.connecting = state.connecting;
    view.rememberName = state.rememberName;
    view.statusLine = state.statusLine;
    view.accountName = state.loggedIn ? state.accountName : std::string();
    view.navTab = state.navTab;
    view.hoverHit = state.hoverHit;
    view.pressedHit = state.pressedHit;
    view.newsCards = state.newsCards;
    view.patchNotes = state.patchNotes;
    return view;
}

LauncherView snapshot() {
    return readShared([](const LauncherState& state) { return snapshot(state); });
}

LauncherState copyLauncherState() {
    return readShared([](const LauncherState& state) { return state; });
}

std::uint64_t changeCount() {
    return readShared([](const LauncherState& state) { return state.changeCount; });
}

void setLauncherDir(std::filesystem::path launcherDir) {
    writeShared(Report::None, [&](LauncherState& state) {
        state.launcherDir = std::move(launcherDir);
        return false;
    });
}

std::filesystem::path currentLauncherDir() {
    return readShared([](const LauncherState& state) { return state.launcherDir; });
}

void setStatus(LauncherPhase phase, std::string title, std::string detail, float progress) {
    writeShared(Report::Status, [&](LauncherState& state) {
        return storeStatus(state, phase, std::move(title), std::move(detail), progress);
    });
}

void publishReleaseCheck(PublishedRelease release, LauncherPhase phase, std::string title, std::string detail,
                         float progress) {
    writeShared(Report::Status, [&](LauncherState& state) {
        state.pendingRelease = std::move(release);
        return storeStatus(state, phase, std::move(title), std::move(detail), progress);
    });
}

PublishedRelease beginUpdate(LauncherPhase phase, std::string title, std::string detail, float progress) {
    PublishedRelease release;
    writeShared(Report::None, [&](LauncherState& state) {
        release = state.pendingRelease;
        return storeStatus(state, phase, std::move(title), std::move(detail), progress);
    });
    return release;
}

SessionCopy currentSession() {
    return readShared([](const LauncherState& state) {
        return SessionCopy{state.loggedIn, state.serverUrl, state.sessionToken};
    });
}

bool isLoggedIn() {
    return readShared([](const LauncherState& state) { return state.loggedIn; });
}

void setServerUrl(std::string serverUrl) {
    writeShared(Report::None, [&](LauncherState& state) {
        state.serverUrl = std::move(serverUrl);
        return false;
    });
}

LoginStart beginLogin(bool fieldsFilled, std::string& serverUrl) {
    LoginStart start = LoginStart::Started;
    writeShared(Report::None, [&](LauncherState& state) {
        if (state.connecting || state.loggedIn) {
            start = LoginStart::Busy;
            return false;
        }
        if (!fieldsFilled) {
            start = LoginStart::FieldsMissing;
            return assign(state.statusLine, "Enter your account name and password.");
        }
        state.connecting = true;
        state.statusLine.clear();
        serverUrl = state.serverUrl;
        return true;
    });
    return start;
}

void finishLogin(std::string sessionToken, std::string accountName) {
    writeShared(Report::None, [&](LauncherState& state) {
        state.connecting = false;
        state.loggedIn = true;
        state.sessionToken = std::move(sessionToken);
        state.accountName = std::move(accountName);
        state.statusLine.clear();
        state.loginEnd = LoginEnd::Succeeded;
        return true;
    });
}

void failLogin(std::string message) {
    writeShared(Report::None, [&](LauncherState& state) {
        state.connecting = false;
        state.statusLine = std::move(message);
        state.loginEnd = LoginEnd::Failed;
        return true;
    });
}

void stopConnecting() {
    writeShared(Report::None, [](LauncherState& state) {
        state.loginEnd = LoginEnd::Failed;
        return assign(state.connecting, false);
    });
}

FinishedLogin takeFinishedLogin() {
    FinishedLogin finished;
    writeShared(Report::None, [&](LauncherState& state) {
        finished.end = std::exchange(state.loginEnd, LoginEnd::None);
        finished.rememberName = state.rememberName;
        finished.accountName = state.accountName;
        return false;
    });
    return finished;
}

void signOut(std::string message) {
    writeShared(Report::None, [&](LauncherState& state) {
        state.loggedIn = false;
        state.sessionToken.clear();
        state.accountName.clear();
        state.statusLine = std::move(message);
        return true;
    });
}

void setStatusLine(std::string text) {
    writeShared(Report::None, [&](LauncherState& state) { return assign(state.statusLine, std::move(text)); });
}

void requestWindowClose() {
    writeShared(Report::None, [](LauncherState& state) {
        state.closeRequested = true;
        return false;
    });
}

bool windowCloseRequested() {
    return readShared([](const LauncherState& state) { return state.closeRequested; });
}

void initWindowState(std::string serverUrl) {
    writeShared(Report::None, [&](LauncherState& state) {
        state.serverUrl = std::move(serverUrl);
        return assign(state.rememberName, true);
    });
}

bool claimAutomaticUpdate() {
    bool claimed = false;
    writeShared(Report::None, [&](LauncherState& state) {
        bool changed = false;
        if (state.phase == LauncherPhase::UpdateAvailable) {
            if (!state.loggedIn) {
                if (state.statusLine.empty()) changed = assign(state.statusLine, "Log in to start the download.");
            } else if (!state.autoUpdateStarted) {
                state.autoUpdateStarted = true;
                claimed = true;
            }
        }
        if (state.phase == LauncherPhase::Checking) state.autoUpdateStarted = false;
        return changed;
    });
    return claimed;
}

bool claimUpdate() {
    bool claimed = false;
    writeShared(Report::None, [&](LauncherState& state) {
        if (state.phase == LauncherPhase::UpdateAvailable && !state.autoUpdateStarted) {
            state.autoUpdateStarted = true;
            claimed = true;
        }
        return false;
    });
    return claimed;
}

CommandState commandState() {
    return readShared([](const LauncherState& state) { return CommandState{state.phase, state.loggedIn}; });
}

void toggleRememberName() {
    writeShared(Report::None, [](LauncherState& state) {
        state.rememberName = !state.rememberName;
        return true;
    });
}

void setNavTab(std::int32_t tab) {
    writeShared(Report::None, [&](LauncherState& state) { return assign(state.navTab, tab); });
}

void setHover(std::int32_t hit) {
    writeShared(Report::None, [&](LauncherState& state) { return assign(state.hoverHit, hit); });
}

void setPressed(std::int32_t hit) {
    writeShared(Report::None, [&](LauncherState& state) { return assign(state.pressedHit, hit); });
}

std::int32_t releasePressed() {
    std::int32_t pressed = 0;
    writeShared(Report::None, [&](LauncherState& state) {
        pressed = state.pressedHit;
        return assign(state.pressedHit, 0);
    });
    return pressed;
}

void replaceNews(std::vector<NewsCard> newsCards, std::vector<PatchNotesEntry> patchNotes) {
    writeShared(Report::None, [&](LauncherState& state) {
        state.newsCards = std::move(newsCards);
        state.patchNotes = std::move(patchNotes);
        return true;
    });
}

void replaceLauncherStateForTests(LauncherState state) {
    writeShared(Report::None, [&](LauncherState& shown) {
        state.changeCount = shown.changeCount;
        shown = std::move(state);
        return true;
    });
}

std::unique_lock<std::mutex> pauseLauncherStateForTests() { return std::unique_lock<std::mutex>(shared().mutex); }
