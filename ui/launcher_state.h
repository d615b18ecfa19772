#pragma once
// The one state shared by the window and every worker. Its lock is private
// to this unit: every read and write is one of the operations below, each a
// single locked section. Everything the window shows moves the change
// counter that the window's timer follows, and a status report also reaches
// the status observer.
//
// Workers reach the window only through this state. The release check, the
// self-update, the patch notes, the update, a login and a game launch hold
// no window to message or call: they change the state, and the window's
// timer follows it every 100 ms, repainting when the change counter moved,
// taking up a finished login and closing once a worker asked it to. Posted
// messages are the window's own business (its edits, its background thread).

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

// How the last login ended, until the window takes it up.
enum class LoginEnd { None, Succeeded, Failed };

// The state's values. The shared one is reached only through the operations
// below; a copy is a plain value.
struct LauncherState {
    LauncherPhase phase = LauncherPhase::Checking;
    std::string title = "Checking installed files";
    std::string detail = "Preparing your arena loadout";
    float progress = 0.0f;
    std::filesystem::path launcherDir;
    // What the last release check published, for the update worker.
    PublishedRelease pendingRelease;
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
    LoginEnd loginEnd = LoginEnd::None;
    // Set once a worker started the game or a new launcher; never cleared.
    bool closeRequested = false;

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

// The window's own messages: Enter in an edit asks for the login's submit.
inline constexpr UINT SubmitLoginMessage = WM_APP + 2;
// Posted by the background preparation when it finishes; the window repaints.
inline constexpr UINT BackgroundPreparedMessage = WM_APP + 3;

// The painter's view of a state, and of the shared one in one locked section.
LauncherView snapshot(const LauncherState& state);
LauncherView snapshot();

// A copy of the whole shared state in one locked section, for tools and tests.
LauncherState copyLauncherState();

// The change counter, for the window's timer.
std::uint64_t changeCount();

// Tools that print every status report install one observer before any
// worker runs; it is called after the lock is released, on the reporting
// thread.
using StatusObserver =
    std::function<void(LauncherPhase phase, const std::string& title, const std::string& detail, float progress)>;
void setStatusObserver(StatusObserver observer);

// ---- Start-up ----

// The launcher's folder, set once before the window and any worker start.
void setLauncherDir(std::filesystem::path launcherDir);
std::filesystem::path currentLauncherDir();

// ---- Status: any thread ----

// Reports phase, both texts and the progress clamped to [0, 1]. A progress
// change below one thousandth alone does not count as a change to show.
void setStatus(LauncherPhase phase, std::string title, std::string detail, float progress);

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

// What a worker needs to call the game service for the player.
struct SessionCopy {
    bool loggedIn = false;
    std::string serverUrl;
    std::string sessionToken;
};
SessionCopy currentSession();
bool isLoggedIn();

// The game service address; the window sets it at its start, a tool before it
// runs a worker.
void setServerUrl(std::string serverUrl);

enum class LoginStart { Started, Busy, FieldsMissing };

// The login form's submit. Busy while a login runs or the player is logged
// in; FieldsMissing asks for both fields in the status line; Started marks a
// login in flight and hands out the game service address.
LoginStart beginLogin(bool fieldsFilled, std::string& serverUrl);

// A login's outcomes, from the login worker (or a tool that logs in).
void finishLogin(std::string sessionToken, std::string accountName);
void failLogin(std::string message);
// A login that ended without an outcome: the form comes back as it was, and
// the window takes it up as failed.
void stopConnecting();

// A login's end for the window, taken once: what it needs to remember the
// name or to ask for the password again.
struct FinishedLogin {
    LoginEnd end = LoginEnd::None;
    bool rememberName = true;
    std::string accountName;
};
FinishedLogin takeFinishedLogin();

// Forgets the session; `message` becomes the status line.
void signOut(std::string message);

// The login panel's one-line message.
void setStatusLine(std::string text);

// ---- Closing ----

// A worker that started the game or a new launcher asks the window to close.
void requestWindowClose();
bool windowCloseRequested();

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

// What a click acts on, read together.
struct CommandState {
    LauncherPhase phase = LauncherPhase::Checking;
    bool loggedIn = false;
};
CommandState commandState();

void toggleRememberName();
void setNavTab(std::int32_t tab);
void setHover(std::int32_t hit);
void setPressed(std::int32_t hit);
// The hit where the button went down; afterwards none.
std::int32_t releasePressed();

// ---- Content ----

// Replaces both lists as a whole.
void replaceNews(std::vector<NewsCard> newsCards, std::vector<PatchNotesEntry> patchNotes);

// ---- Tests only ----

// Replaces the whole shared state: each test starts from the state it needs.
void replaceLauncherStateForTests(LauncherState state);

// Holds the state's lock until the returned lock is released: a worker then
// stops at its next report.
[[nodiscard]] std::unique_lock<std::mutex> pauseLauncherStateForTests();
