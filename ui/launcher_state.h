#pragma once
// The one state shared by the window and every worker, guarded by one mutex.
// Everything the window shows changes only through the operations below:
// each moves the change counter that the window's timer follows, and a
// status report also reaches the status observer.

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

enum class LauncherPhase : std::int32_t {
    Checking = 0,
    Ready = 1,
    UpdateAvailable = 2,
    Updating = 3,
    Error = 4,
};

struct LauncherState {
    std::mutex mutex;
    LauncherPhase phase = LauncherPhase::Checking;
    std::string title = "Checking installed files";
    std::string detail = "Preparing your arena loadout";
    float progress = 0.0f;
    std::filesystem::path launcherDir;
    std::filesystem::path pendingSourceFolder;
    std::string pendingSourceText;
    ReleaseManifest pendingManifest;
    std::vector<std::uint8_t> pendingManifestBytes;  // the release list exactly as accepted
    std::string pendingInstalledDigest;              // PublishedRelease::installedDigest
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

    // Moves on with every change of what the window shows.
    std::uint64_t changeCount = 0;

    static std::vector<NewsCard> builtInNews();
    static std::vector<PatchNotesEntry> builtInPatchNotes();
};

// The painter's copy, taken in one locked section.
struct LauncherView {
    LauncherPhase phase = LauncherPhase::Checking;
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
// Posted by the background preparation when it finishes; the window repaints.
inline constexpr UINT BackgroundPreparedMessage = WM_APP + 3;

LauncherView snapshot(LauncherState& state);

// The change counter, for the window's timer.
std::uint64_t changeCount();

// Tools that print every status report install one observer before any
// worker runs; it is called after the lock is released, on the reporting
// thread.
using StatusObserver =
    std::function<void(LauncherPhase phase, const std::string& title, const std::string& detail, float progress)>;
void setStatusObserver(StatusObserver observer);

// ---- Status: any thread ----

// Reports phase, both texts and the progress clamped to [0, 1]. A progress
// change below one thousandth alone does not count as a change to show.
void SetStatus(LauncherPhase phase, std::string title, std::string detail, float progress);

// The release the release check accepted and the plan that installs it,
// handed to the update worker.
struct PublishedRelease {
    std::filesystem::path sourceFolder;
    std::string sourceText;
    ReleaseManifest manifest;
    // The release list's bytes the manifest was read from: what the update
    // installs, though the file in the source folder may be replaced since.
    std::vector<std::uint8_t> manifestBytes;
    std::vector<ManifestFile> filesToFetch;
    std::vector<std::filesystem::path> obsoletePaths;
    std::uint64_t bytesToFetch = 0;
    // sha256FileHex of the installed release list the plan was made against.
    std::string installedDigest;
};

// The release check's outcome: the release and its plan, reported together
// with the status that offers it, in one locked section.
void publishReleaseCheck(PublishedRelease release, LauncherPhase phase, std::string title, std::string detail,
                         float progress);

// The update worker's start: a copy of the published release, taken in the
// same locked section that shows the update's first status. That status is
// not a report: the update's reports begin with its downloads and install
// steps.
PublishedRelease beginUpdate(LauncherPhase phase, std::string title, std::string detail, float progress);

// ---- Login and session ----

enum class LoginStart { Started, Busy, FieldsMissing };

// The login form's submit. Busy while a login runs or the player is logged
// in; FieldsMissing asks for both fields in the status line; Started marks a
// login in flight and hands out the game service address.
LoginStart beginLogin(bool fieldsFilled, std::string& serverUrl);

// A login's outcomes, from the login worker (or a tool that logs in).
void finishLogin(std::string sessionToken, std::string accountName);
void failLogin(std::string message);
// A login that ended without an outcome: the form comes back as it was.
void stopConnecting();

// Forgets the session; `message` becomes the status line.
void signOut(std::string message);

// The login panel's one-line message.
void setStatusLine(std::string text);

// ---- Window: UI thread ----

// The window's start: the game service address, and "Remember my name" ticked.
void initWindowState(std::string serverUrl);

// The timer's part of an update episode, in one locked section: in
// UpdateAvailable it asks a logged-out player to log in (while the status
// line is free) and claims the episode's update for a logged-in one (true:
// start it); Checking opens a new episode.
[[nodiscard]] bool claimAutomaticUpdate();

// A press of UPDATE: claims the episode's update unless it is claimed.
[[nodiscard]] bool claimUpdate();

void toggleRememberName();
void setNavTab(std::int32_t tab);
void setHover(std::int32_t hit);
void setPressed(std::int32_t hit);
// The hit where the button went down; afterwards none.
std::int32_t releasePressed();

// ---- Content ----

// Replaces both lists as a whole.
void replaceNews(std::vector<NewsCard> newsCards, std::vector<PatchNotesEntry> patchNotes);
