#include "ui/launcher_state.h"

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

}  // namespace

void setStatusObserver(StatusObserver observer) {
    ObserverSlot& slot = observerSlot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.observer = std::move(observer);
}

void SetStatus(LauncherPhase phase, std::string title, std::string detail, float progress) {
    if (progress < 0.0f) progress = 0.0f;
    if (progress > 1.0f) progress = 1.0f;
    StatusObserver observer;
    {
        ObserverSlot& slot = observerSlot();
        std::lock_guard<std::mutex> lock(slot.mutex);
        observer = slot.observer;
    }
    std::string titleCopy;
    std::string detailCopy;
    if (observer) {
        titleCopy = title;
        detailCopy = detail;
    }
    LauncherState& state = launcherState();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.phase = phase;
        state.title = std::move(title);
        state.detail = std::move(detail);
        state.progress = progress;
        // A new check opens a new update episode. The timer also resets this
        // when it sees Checking, but a check can begin and end between two ticks.
        if (phase == Checking) state.autoUpdateStarted = false;
    }
    if (observer) observer(phase, titleCopy, detailCopy, progress);
}

LauncherView snapshot(LauncherState& state) {
    LauncherView view;
    std::lock_guard<std::mutex> lock(state.mutex);
    view.phase = (state.phase >= Checking && state.phase <= Updating) ? state.phase : Error;
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

std::string changeSignature(const LauncherState& state) {
    std::string signature = std::to_string(static_cast<int>(state.phase));
    signature += '|';
    signature += state.title;
    signature += '|';
    signature += state.detail;
    signature += '|';
    signature += std::to_string(static_cast<long long>(state.progress * 1000.0f));
    signature += '|';
    signature += state.statusLine;
    signature += '|';
    signature += state.connecting ? '1' : '0';
    signature += state.loggedIn ? '1' : '0';
    signature += state.accountName;
    return signature;
}
