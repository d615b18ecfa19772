#include "delivery/release_check.h"

#include "base/diagnostic_log.h"
#include "base/install_files.h"
#include "base/product.h"
#include "base/safe_remove.h"
#include "base/utf8_paths.h"
#include "delivery/download_client.h"
#include "delivery/patch_source.h"
#include "delivery/release_list.h"
#include "delivery/release_signature.h"
#include "startup/launcher_file.h"
#include "startup/self_update.h"
#include "ui/launcher_state.h"
#include "update/file_hash.h"
#include "update/folder_work_lock.h"
#include "update/inspection.h"
#include "update/manifest.h"
#include "update/release_floor.h"
#include "update/update_transaction.h"

#include <algorithm>
#include <memory>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

// What a remote source delivered: the release list's bytes, checked once,
// and the run's own downloads of it and of its signature.
struct FetchedRelease {
    std::vector<std::uint8_t> bytes;
    std::unique_ptr<RunDownload> list;
    std::unique_ptr<RunDownload> signature;  // none from the local test server
};

// Remote source steps: fetch the release list into memory and verify those
// bytes unless the source is the local test server. False when the run has
// ended with an error status.
bool fetchAndVerifyReleaseList(const std::string& sourceText, const fs::path& cacheDir, FetchedRelease& fetched) {
    std::string linkError;
    if (!removeLinksOnPath(cacheDir.parent_path(), cacheDir, &linkError)) {
        setStatus(LauncherPhase::Error, "Test channel unavailable", "Could not prepare download cache: " + linkError,
                  0.0f);
        return false;
    }
    std::error_code ec;
    fs::create_directories(cacheDir, ec);
    if (ec) {
        setStatus(LauncherPhase::Error, "Test channel unavailable", "Could not prepare download cache: " + ec.message(),
                  0.0f);
        return false;
    }
    // Messages name the cached copy, the file a player or publisher knows.
    const fs::path releaseList = cacheDir / kReleaseListName;
    fetched.list = std::make_unique<RunDownload>(cacheDir, kReleaseListName);
    const ProgressCallback manifestProgress = [](float fraction) {
        setStatus(LauncherPhase::Checking, "Checking test channel", "Downloading release manifest", 0.2f * fraction);
    };
    std::string error;
    if (!downloadPatchFile(sourceText, kReleaseListUrlName, fetched.list->path(), atMost(kMaxReleaseListBytes),
                           manifestProgress, &error)) {
        setStatus(LauncherPhase::Error, "Test channel unavailable", error, 0.0f);
        return false;
    }
    // The download kept to the limit; reading is bounded all the same.
    switch (readBounded(fetched.list->path(), kMaxReleaseListBytes, fetched.bytes)) {
        case BoundedRead::Unopened:
            setStatus(LauncherPhase::Error, "Patch source unavailable",
                      "Could not open manifest: " + pathToUtf8(releaseList), 0.0f);
            return false;
        case BoundedRead::TooLarge:
            setStatus(LauncherPhase::Error, "Patch source unavailable", releaseListTooLargeForLoader(releaseList),
                      0.0f);
            return false;
        case BoundedRead::Read: break;
    }
    // Unsigned releases of the local test server go straight to the loader.
    if (isLocalTestServer(sourceText)) {
        logInfo("release", "Release list of the local test server: not signed, not verified.");
        return true;
    }

    std::vector<std::uint8_t> digestBytes;
    const std::string digest =
        sha256Digest(fetched.bytes, digestBytes) ? digestToHex(digestBytes.data(), digestBytes.size()) : "";
    fetched.signature = std::make_unique<RunDownload>(cacheDir, kReleaseSignatureName);
    if (digest.empty() || !downloadPatchFile(sourceText, kSignatureUrlFolder + digest + ".sig",
                                             fetched.signature->path(), atMost(kMaxSignatureBytes), {}, &error)) {
        logWarning("release", "Signature of release list " + digest + " not downloaded: " + error);
        setStatus(LauncherPhase::Error, "Release not verified",
                  "The release signature could not be downloaded. Nothing was installed.", 0.0f);
        return false;
    }
    // An unreadable signature is checked as the empty text, which never verifies.
    std::vector<std::uint8_t> signature;
    if (readBounded(fetched.signature->path(), kMaxSignatureBytes, signature) != BoundedRead::Read) signature.clear();
    // The digest that named the signature file is the one it must sign.
    if (!verifyReleaseDigest(digestBytes, textOf(signature), releaseSigningKeys(), &error)) {
        logWarning("release", "Signature of release list " + digest + " refused: " + error);
        setStatus(LauncherPhase::Error, "Release not verified", error, 0.0f);
        return false;
    }
    logInfo("release", "Signature of release list " + digest + " verified.");
    return true;
}

// Every installed file has just been verified against the release, but the
// installed list can still name an older one: a release that changed only
// the launcher is installed by the self-update, and no update runs to record
// it. Left so, a check without a patch source would ask for repair, and the
// next release would work out its removals from the wrong list. Only the
// list this run checked is recorded, never one that replaced it since.
void recordInstalledRelease(const std::vector<std::uint8_t>& accepted, const fs::path& published,
                            const fs::path& launcherDir) {
    const fs::path installed = launcherDir / kReleaseListName;
    if (readFileBytes(installed) == accepted || readFileBytes(published) != accepted) return;
    (void)replaceFile(published, installed, nullptr);
}

InstallRecordUse recordUse(ReleaseCheckKind kind) {
    return kind == ReleaseCheckKind::Full ? InstallRecordUse::Rebuild : InstallRecordUse::Trust;
}

// The running launcher is never replaced by the update worker; its entry
// goes to the self-update instead, under whatever spelling names it. True
// when the self-update has taken over.
bool takeOutLauncherEntry(const fs::path& launcherDir, const std::string& sourceText, const fs::path& releaseFolder,
                          UpdatePlan& plan, bool& launcherDiffers) {
    for (std::size_t i = 0; i < plan.filesToFetch.size();) {
        if (!isLauncherEntry(launcherDir, plan.filesToFetch[i].path)) {
            ++i;
            continue;
        }
        launcherDiffers = true;
        const ManifestFile entry = plan.filesToFetch[i];
        plan.bytesToFetch -= std::min(plan.bytesToFetch, entry.size);
        plan.filesToFetch.erase(plan.filesToFetch.begin() + static_cast<std::ptrdiff_t>(i));
        if (selfUpdateLauncher(sourceText, releaseFolder, entry)) return true;
    }
    // A release that no longer lists the launcher must not remove it: the
    // running program cannot be deleted, so every update would fail there.
    std::erase_if(plan.obsoletePaths, [&](const fs::path& path) { return isLauncherEntry(launcherDir, path); });
    return false;
}

void checkPublishedRelease(const fs::path& launcherDir, const std::string& sourceText, const fs::path& releaseFolder,
                           FetchedRelease* fetched, const ReleaseManifest* installed, ReleaseCheckKind kind) {
    const fs::path publishedPath = releaseFolder / kReleaseListName;
    ReleaseManifest published;
    std::vector<std::uint8_t> bytes;
    std::string error;
    // A remote release is loaded from the very bytes that were verified.
    const bool loaded = fetched != nullptr
                            ? parseReleaseManifest(textOf(fetched->bytes), publishedPath, published, &error)
                            : loadBoundedManifest(publishedPath, published, bytes, &error);
    if (!loaded) {
        setStatus(LauncherPhase::Error, "Patch source unavailable", error, 0.0f);
        return;
    }
    const std::vector<std::uint8_t>& accepted = fetched != nullptr ? fetched->bytes : bytes;
    logInfo("release", "Published release " + published.releaseId + ", sequence " +
                           std::to_string(published.releaseSequence) + "; installed " +
                           (installed != nullptr
                                ? installed->releaseId + ", sequence " + std::to_string(installed->releaseSequence)
                                : std::string("none")) +
                           ".");
    if (published.minimumLauncherVersion > kLauncherVersion) {
        setStatus(LauncherPhase::Error, "Launcher update required", "Download the newest Tinderhallow launcher", 0.0f);
        return;
    }
    // A correctly signed but older release must not roll the game back, also
    // when the installed list is gone: the folder keeps a floor of its own.
    if (installed != nullptr) (void)raiseReleaseFloor(launcherDir, *installed);
    const ReleaseFloor floor = effectiveReleaseFloor(launcherDir, installed);
    if (published.releaseSequence < floor.sequence) {
        setStatus(LauncherPhase::Error, "Older release refused", olderReleaseMessage(published, floor), 0.0f);
        return;
    }
    if (fetched != nullptr) {
        if (!fetched->list->keepAs(publishedPath, &error) ||
            (fetched->signature && !fetched->signature->keepAs(releaseFolder / kReleaseSignatureName, &error))) {
            setStatus(LauncherPhase::Error, "Test channel unavailable", error, 0.0f);
            return;
        }
    }
    UpdatePlan plan;
    if (!inspectRecordedInstallation(launcherDir, published, installed, plan, recordUse(kind), &error)) {
        setStatus(LauncherPhase::Error, "Installation check failed", error, 0.0f);
        return;
    }

    bool launcherDiffers = false;
    if (takeOutLauncherEntry(launcherDir, sourceText, releaseFolder, plan, launcherDiffers)) return;

    const bool nothingToDo = plan.filesToFetch.empty() && plan.obsoletePaths.empty();
    if (nothingToDo && !launcherDiffers) {
        recordInstalledRelease(accepted, publishedPath, launcherDir);
        (void)raiseReleaseFloor(launcherDir, published);
    }
    logInfo("release", std::to_string(plan.filesToFetch.size()) + " files to fetch (" +
                           std::to_string(plan.bytesToFetch) + " bytes), " + std::to_string(plan.obsoletePaths.size()) +
                           " to remove" + (launcherDiffers ? "; the launcher differs." : "."));
    const std::string detail = nothingToDo ? "Release " + published.releaseId
                                           : std::to_string(plan.filesToFetch.size()) + " files ready to install";
    PublishedRelease release;
    release.sourceFolder = releaseFolder;
    release.sourceText = sourceText;
    release.manifest = std::move(published);
    release.manifestBytes = accepted;
    release.filesToFetch = std::move(plan.filesToFetch);
    release.obsoletePaths = std::move(plan.obsoletePaths);
    release.bytesToFetch = plan.bytesToFetch;
    release.installedDigest = sha256FileHex(launcherDir / kReleaseListName);
    publishReleaseCheck(std::move(release), nothingToDo ? LauncherPhase::Ready : LauncherPhase::UpdateAvailable,
                        nothingToDo ? "Game is ready" : "Update available", detail, nothingToDo ? 1.0f : 0.0f);
}

void checkInstalledRelease(const fs::path& launcherDir, const ReleaseManifest* installed, ReleaseCheckKind kind) {
    if (installed == nullptr) {
        setStatus(LauncherPhase::Error, "Installation needs repair",
                  "Set patch_source.txt to a published release folder", 0.0f);
        return;
    }
    UpdatePlan plan;
    std::string error;
    if (!inspectRecordedInstallation(launcherDir, *installed, installed, plan, recordUse(kind), &error)) {
        setStatus(LauncherPhase::Error, "Installation check failed", error, 0.0f);
        return;
    }
    if (plan.filesToFetch.empty()) {
        setStatus(LauncherPhase::Ready, "Game is ready", "Local release " + installed->releaseId, 1.0f);
    } else {
        setStatus(LauncherPhase::Error, "Installation needs repair",
                  "Configure a patch source to restore missing files", 0.0f);
    }
}

void releaseCheck(ReleaseCheckKind kind) {
    setStatus(LauncherPhase::Checking, "Checking installed files", "Comparing release manifests", 0.08f);
    // Set once at start-up, before any worker exists.
    const fs::path launcherDir = currentLauncherDir();
    // Another launcher or tool rewriting these files meanwhile could make this
    // run read its half-written copies.
    FolderWorkLock workLock;
    std::string lockError;
    if (!workLock.acquire(launcherDir, &lockError)) {
        setStatus(LauncherPhase::Error, "Launcher folder in use", lockError, 0.0f);
        return;
    }
    const std::string sourceText = readPatchSource(launcherDir);

    fs::path releaseFolder;
    FetchedRelease fetched;
    const bool remote = isHttpUrl(sourceText);
    if (remote) {
        releaseFolder = launcherDir / kDownloadCacheName;
        if (!fetchAndVerifyReleaseList(sourceText, releaseFolder, fetched)) return;
    } else if (!sourceText.empty()) {
        releaseFolder = resolveReleaseFolder(launcherDir, sourceText);
    }

    ReleaseManifest installed;
    std::vector<std::uint8_t> installedBytes;
    const bool installedLoaded =
        loadBoundedManifest(launcherDir / kReleaseListName, installed, installedBytes, nullptr);
    if (!sourceText.empty()) {
        checkPublishedRelease(launcherDir, sourceText, releaseFolder, remote ? &fetched : nullptr,
                              installedLoaded ? &installed : nullptr, kind);
    } else {
        checkInstalledRelease(launcherDir, installedLoaded ? &installed : nullptr, kind);
    }
}

}  // namespace

void runReleaseCheck(ReleaseCheckKind kind) {
    try {
        releaseCheck(kind);
    } catch (const std::exception& e) {
        logError("release", std::string("Release check stopped by an exception: ") + e.what());
        // Left at Checking, the window would never offer RETRY again.
        try {
            setStatus(LauncherPhase::Error, "Release check failed", "Unexpected error.", 0.0f);
        } catch (...) {
            logError("release", "The release check's failure could not be shown.");
        }
    } catch (...) {
        logError("release", "Release check stopped by an unknown exception.");
        try {
            setStatus(LauncherPhase::Error, "Release check failed", "Unexpected error.", 0.0f);
        } catch (...) {
            logError("release", "The release check's failure could not be shown.");
        }
    }
}
