#include "delivery/release_check.h"

#include "delivery/download_client.h"
#include "delivery/patch_source.h"
#include "delivery/release_signature.h"
#include "startup/self_update.h"
#include "ui/launcher_state.h"
#include "update/file_hash.h"
#include "update/inspection.h"
#include "update/manifest.h"
#include "update/update_transaction.h"
#include "update/utf8_paths.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// True when the file's size can be read and is above `limit`.
bool fileLargerThan(const fs::path& path, std::uint64_t limit) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    return !ec && size > limit;
}

void removeFile(const fs::path& path) {
    std::error_code ec;
    fs::remove(path, ec);
}

// The signature text, bounded by the download's size limit; an unreadable
// file gives the empty text.
std::string readSignatureText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return {};
    return text;
}

// The manifest loader reads the whole file; a file above the limit is
// refused before that with a sentence naming the limit.
std::string releaseListTooLargeForLoader(const fs::path& path) {
    return "The release list " + pathToUtf8(path) + " is larger than 64 MiB.";
}

bool loadBoundedManifest(const fs::path& path, ReleaseManifest& manifest, std::string* error) {
    if (fileLargerThan(path, kMaxReleaseListBytes)) {
        if (error != nullptr) *error = releaseListTooLargeForLoader(path);
        return false;
    }
    return loadReleaseManifest(path, manifest, error);
}

// Remote source steps: fetch the release list, verify it unless the source is
// the local test server. False when the run has ended with an error status.
bool fetchAndVerifyReleaseList(const std::string& sourceText, const fs::path& cacheDir) {
    std::error_code ec;
    fs::create_directories(cacheDir, ec);
    if (ec) {
        SetStatus(Error, "Test channel unavailable", "Could not prepare download cache: " + ec.message(), 0.0f);
        return false;
    }
    const fs::path releaseList = cacheDir / L"update_manifest.json";
    const ProgressCallback manifestProgress = [](float fraction) {
        SetStatus(Checking, "Checking test channel", "Downloading release manifest", 0.2f * fraction);
    };
    std::string error;
    if (!downloadPatchFile(sourceText, "update_manifest.json", releaseList, atMost(kMaxReleaseListBytes),
                           manifestProgress, &error)) {
        SetStatus(Error, "Test channel unavailable", error, 0.0f);
        return false;
    }
    // Unsigned releases of the local test server go straight to the loader.
    if (isLocalTestServer(sourceText)) return true;

    const std::string digest = sha256FileHex(releaseList);
    const fs::path signature = cacheDir / L"update_manifest.sig";
    if (digest.empty() || !downloadPatchFile(sourceText, "manifests/" + digest + ".sig", signature,
                                             atMost(kMaxSignatureBytes), {}, &error)) {
        removeFile(releaseList);
        SetStatus(Error, "Release not verified",
                  "The release signature could not be downloaded. Nothing was installed.", 0.0f);
        return false;
    }
    if (!verifyReleaseSignature(releaseList, readSignatureText(signature), releaseSigningKey.data(),
                                releaseSigningKey.size(), &error)) {
        removeFile(releaseList);
        SetStatus(Error, "Release not verified", error, 0.0f);
        return false;
    }
    return true;
}

// Every installed file has just been verified against the release, but the
// installed list can still name an older one: a release that changed only
// the launcher is installed by the self-update, and no update runs to record
// it. Left so, a check without a patch source would ask for repair, and the
// next release would work out its removals from the wrong list.
void recordInstalledRelease(const fs::path& releaseFolder, const fs::path& launcherDir) {
    const fs::path published = releaseFolder / L"update_manifest.json";
    const fs::path installed = launcherDir / L"update_manifest.json";
    if (readFileBytes(published) == readFileBytes(installed)) return;
    (void)replaceFile(published, installed, nullptr);
}

void checkPublishedRelease(const fs::path& launcherDir, const std::string& sourceText, const fs::path& releaseFolder,
                           const ReleaseManifest* installed) {
    ReleaseManifest published;
    std::string error;
    if (!loadBoundedManifest(releaseFolder / L"update_manifest.json", published, &error)) {
        SetStatus(Error, "Patch source unavailable", error, 0.0f);
        return;
    }
    if (published.minimumLauncherVersion > kLauncherVersion) {
        SetStatus(Error, "Launcher update required", "Download the newest Tinderhallow launcher", 0.0f);
        return;
    }
    UpdatePlan plan;
    (void)inspectInstallation(launcherDir, published, installed, plan);

    // The running launcher is never replaced by the update worker; its entry
    // goes to the self-update instead.
    bool launcherDiffers = false;
    for (std::size_t i = 0; i < plan.filesToFetch.size();) {
        if (genericPathUtf8(plan.filesToFetch[i].path) != kLauncherExeName) {
            ++i;
            continue;
        }
        launcherDiffers = true;
        const ManifestFile entry = plan.filesToFetch[i];
        plan.bytesToFetch -= std::min(plan.bytesToFetch, entry.size);
        plan.filesToFetch.erase(plan.filesToFetch.begin() + static_cast<std::ptrdiff_t>(i));
        if (selfUpdateLauncher(sourceText, releaseFolder, entry)) return;
    }

    // A release that no longer lists the launcher must not remove it: the
    // running program cannot be deleted, so every update would fail there.
    std::erase_if(plan.obsoletePaths, [](const fs::path& path) { return genericPathUtf8(path) == kLauncherExeName; });

    const bool nothingToDo = plan.filesToFetch.empty() && plan.obsoletePaths.empty();
    if (nothingToDo && !launcherDiffers) recordInstalledRelease(releaseFolder, launcherDir);
    const std::string detail = nothingToDo ? "Release " + published.releaseId
                                           : std::to_string(plan.filesToFetch.size()) + " files ready to install";
    LauncherState& state = launcherState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.pendingSourceFolder = releaseFolder;
    state.pendingSourceText = sourceText;
    state.pendingManifest = std::move(published);
    state.filesToFetch = std::move(plan.filesToFetch);
    state.obsoletePaths = std::move(plan.obsoletePaths);
    state.bytesToFetch = plan.bytesToFetch;
    state.phase = nothingToDo ? Ready : UpdateAvailable;
    state.title = nothingToDo ? "Game is ready" : "Update available";
    state.detail = detail;
    state.progress = nothingToDo ? 1.0f : 0.0f;
}

void checkInstalledRelease(const fs::path& launcherDir, const ReleaseManifest* installed) {
    if (installed == nullptr) {
        SetStatus(Error, "Installation needs repair", "Set patch_source.txt to a published release folder", 0.0f);
        return;
    }
    UpdatePlan plan;
    (void)inspectInstallation(launcherDir, *installed, installed, plan);
    if (plan.filesToFetch.empty()) {
        SetStatus(Ready, "Game is ready", "Local release " + installed->releaseId, 1.0f);
    } else {
        SetStatus(Error, "Installation needs repair", "Configure a patch source to restore missing files", 0.0f);
    }
}

void releaseCheck() {
    SetStatus(Checking, "Checking installed files", "Comparing release manifests", 0.08f);
    // Set once at start-up, before any worker exists.
    const fs::path launcherDir = launcherState().launcherDir;
    const std::string sourceText = readPatchSource(launcherDir);

    fs::path releaseFolder;
    if (isHttpUrl(sourceText)) {
        releaseFolder = launcherDir / L".patch_remote";
        if (!fetchAndVerifyReleaseList(sourceText, releaseFolder)) return;
    } else if (!sourceText.empty()) {
        releaseFolder = resolveReleaseFolder(launcherDir, sourceText);
    }

    ReleaseManifest installed;
    const bool installedLoaded = loadBoundedManifest(launcherDir / L"update_manifest.json", installed, nullptr);
    if (!sourceText.empty()) {
        checkPublishedRelease(launcherDir, sourceText, releaseFolder, installedLoaded ? &installed : nullptr);
    } else {
        checkInstalledRelease(launcherDir, installedLoaded ? &installed : nullptr);
    }
}

}  // namespace

void runReleaseCheck() {
    try {
        releaseCheck();
    } catch (...) {
        // Left at Checking, the window would never offer RETRY again.
        try {
            SetStatus(Error, "Release check failed", "Unexpected error.", 0.0f);
        } catch (...) {
        }
    }
}
