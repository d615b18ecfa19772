#pragma once
// The one state shared by the window and every worker, guarded by one mutex.
// Workers report through SetStatus; the UI timer notices changes by signature.

#include "base/progress.h"
#include "delivery/patch_notes.h"
#include "update/manifest.h"

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

enum LauncherPhase : std::int32_t {
    Checking = 0,
    Ready = 1,
    UpdateAvailable = 2,
    Updating = 3,
    Error = 4,
};

struct LauncherState {
    std::mutex mutex;
    LauncherPhase phase = Checking;
    std::string title = "Checking installed files";
    std::string detail = "Preparing your arena loadout";
    float progress = 0.0f;
    std::filesystem::path launcherDir;
    std::filesystem::path pendingSourceFolder;
    std::string pendingSourceText;
    ReleaseManifest pendingManifest;
    std::vector<ManifestFile> filesToFetch;
    std::vector<std::filesystem::path> obsoletePaths;
    std::uint64_t bytesToFetch = 0;
    bool loggedIn = false;
    bool connecting = false;
    bool rememberName = true;
    bool autoUpdateStarted = false;
    std::string statusLine;
    std::string serverUrl;
    std::string sessionToken;
    std::string accountName;
    std::int32_t navTab = 0;
    std::int32_t hoverHit = 0;
    std::int32_t pressedHit = 0;

    // Guarded by the same mutex.
    std::vector<NewsCard> newsCards = builtInNews();
    std::vector<PatchNotesEntry> patchNotes = builtInPatchNotes();

    static std::vector<NewsCard> builtInNews();
    static std::vector<PatchNotesEntry> builtInPatchNotes();
};

// The painter's copy, taken in one locked section.
struct LauncherView {
    LauncherPhase phase = Checking;
    std::string title;
    std::string detail;
    float progress = 0.0f;
    bool showLoginForm = true;
    bool connecting = false;
    bool rememberName = true;
    std::string statusLine;
    std::string accountName;
    std::int32_t navTab = 0;
    std::int32_t hoverHit = 0;
    std::int32_t pressedHit = 0;
    std::vector<NewsCard> newsCards;
    std::vector<PatchNotesEntry> patchNotes;
};

// The process-wide instance.
LauncherState& launcherState();

// UI-thread value, written once before any worker starts; workers read it
// without the lock and skip it while it is null.
extern HWND mainWindow;

inline constexpr UINT LoginFinishedMessage = WM_APP + 1;
inline constexpr UINT SubmitLoginMessage = WM_APP + 2;

// Stores phase, both texts and the progress clamped to [0, 1].
void SetStatus(LauncherPhase phase, std::string title, std::string detail, float progress);

// Tools that print every status change install one observer before any
// worker runs; SetStatus calls it after unlocking, on the calling thread.
using StatusObserver =
    std::function<void(LauncherPhase phase, const std::string& title, const std::string& detail, float progress)>;
void setStatusObserver(StatusObserver observer);

LauncherView snapshot(LauncherState& state);

// Text signature of the visible fields; the caller holds the lock.
std::string changeSignature(const LauncherState& state);
