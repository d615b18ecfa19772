#include "ui/launcher_state.h"

#include <type_traits>
#include <utility>

HWND mainWindow = nullptr;

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

LauncherState& launcherState() {
    static LauncherState state;
    return state;
}

namespace {

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

// The one writer of what the window shows. `change` runs under the lock and
// tells whether anything shown changed; the counter then moves on. A status
// report reaches the observer once the lock is released.
template <typename Change>
void changeShown(Report report, Change&& change) {
    const StatusObserver observer = report == Report::Status ? currentObserver() : StatusObserver();
    LauncherState& state = launcherState();
    LauncherPhase phase = LauncherPhase::Checking;
    std::string title;
    std::string detail;
    float progress = 0.0f;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
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

// Stores the status; true when it changed what the window shows.
bool storeStatus(LauncherState& state, LauncherPhase phase, std::string&& title, std::string&& detail, float progress) {
    if (progress < 0.0f) progress = 0.0f;
    if (progress > 1.0f) progress = 1.0f;
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

LauncherView snapshot(LauncherState& state) {
    LauncherView view;
    std::lock_guard<std::mutex> lock(state.mutex);
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

std::uint64_t changeCount() {
    LauncherState& state = launcherState();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.changeCount;
}

void SetStatus(LauncherPhase phase, std::string title, std::string detail, float progress) {
    changeShown(Report::Status, [&](LauncherState& state) {
        return storeStatus(state, phase, std::move(title), std::move(detail), progress);
    });
}

void publishReleaseCheck(PublishedRelease release, LauncherPhase phase, std::string title, std::string detail,
                         float progress) {
    changeShown(Report::Status, [&](LauncherState& state) {
        state.pendingSourceFolder = std::move(release.sourceFolder);
        state.pendingSourceText = std::move(release.sourceText);
        state.pendingManifest = std::move(release.manifest);
        state.pendingManifestBytes = std::move(release.manifestBytes);
        state.pendingInstalledDigest = std::move(release.installedDigest);
        state.filesToFetch = std::move(release.filesToFetch);
        state.obsoletePaths = std::move(release.obsoletePaths);
        state.bytesToFetch = release.bytesToFetch;
        return storeStatus(state, phase, std::move(title), std::move(detail), progress);
    });
}

PublishedRelease beginUpdate(LauncherPhase phase, std::string title, std::string detail, float progress) {
    PublishedRelease release;
    changeShown(Report::None, [&](LauncherState& state) {
        release.sourceFolder = state.pendingSourceFolder;
        release.sourceText = state.pendingSourceText;
        release.manifest = state.pendingManifest;
        release.manifestBytes = state.pendingManifestBytes;
        release.installedDigest = state.pendingInstalledDigest;
        release.filesToFetch = state.filesToFetch;
        release.obsoletePaths = state.obsoletePaths;
        release.bytesToFetch = state.bytesToFetch;
        return storeStatus(state, phase, std::move(title), std::move(detail), progress);
    });
    return release;
}

LoginStart beginLogin(bool fieldsFilled, std::string& serverUrl) {
    LoginStart start = LoginStart::Started;
    changeShown(Report::None, [&](LauncherState& state) {
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
    changeShown(Report::None, [&](LauncherState& state) {
        state.connecting = false;
        state.loggedIn = true;
        state.sessionToken = std::move(sessionToken);
        state.accountName = std::move(accountName);
        state.statusLine.clear();
        return true;
    });
}

void failLogin(std::string message) {
    changeShown(Report::None, [&](LauncherState& state) {
        state.connecting = false;
        state.statusLine = std::move(message);
        return true;
    });
}

void stopConnecting() {
    changeShown(Report::None, [](LauncherState& state) { return assign(state.connecting, false); });
}

void signOut(std::string message) {
    changeShown(Report::None, [&](LauncherState& state) {
        state.loggedIn = false;
        state.sessionToken.clear();
        state.accountName.clear();
        state.statusLine = std::move(message);
        return true;
    });
}

void setStatusLine(std::string text) {
    changeShown(Report::None, [&](LauncherState& state) { return assign(state.statusLine, std::move(text)); });
}

void initWindowState(std::string serverUrl) {
    changeShown(Report::None, [&](LauncherState& state) {
        state.serverUrl = std::move(serverUrl);
        return assign(state.rememberName, true);
    });
}

bool claimAutomaticUpdate() {
    bool claimed = false;
    changeShown(Report::None, [&](LauncherState& state) {
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
    changeShown(Report::None, [&](LauncherState& state) {
        if (state.phase == LauncherPhase::UpdateAvailable && !state.autoUpdateStarted) {
            state.autoUpdateStarted = true;
            claimed = true;
        }
        return false;
    });
    return claimed;
}

void toggleRememberName() {
    changeShown(Report::None, [](LauncherState& state) {
        state.rememberName = !state.rememberName;
        return true;
    });
}

void setNavTab(std::int32_t tab) {
    changeShown(Report::None, [&](LauncherState& state) { return assign(state.navTab, tab); });
}

void setHover(std::int32_t hit) {
    changeShown(Report::None, [&](LauncherState& state) { return assign(state.hoverHit, hit); });
}

void setPressed(std::int32_t hit) {
    changeShown(Report::None, [&](LauncherState& state) { return assign(state.pressedHit, hit); });
}

std::int32_t releasePressed() {
    std::int32_t pressed = 0;
    changeShown(Report::None, [&](LauncherState& state) {
        pressed = state.pressedHit;
        return assign(state.pressedHit, 0);
    });
    return pressed;
}

void replaceNews(std::vector<NewsCard> newsCards, std::vector<PatchNotesEntry> patchNotes) {
    changeShown(Report::None, [&](LauncherState& state) {
        state.newsCards = std::move(newsCards);
        state.patchNotes = std::move(patchNotes);
        return true;
    });
}
