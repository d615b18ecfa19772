#include "update/update_worker.h"

#include "account/session.h"
#include "delivery/download_client.h"
#include "ui/launcher_state.h"
#include "update/folder_work_lock.h"
#include "update/inspection.h"
#include "update/update_transaction.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <thread>

namespace {

void recordFailure(DownloadJob& job, const std::string& error) {
    std::lock_guard<std::mutex> lock(job.errorMutex);
    if (!job.failed.exchange(true)) job.firstError = error;
}

void downloadThread(DownloadJob& job) {
    try {
        PatchDownloader downloader(job.patchUrl);
        const std::uint64_t count = job.fileList.size();
        std::uint64_t index = job.nextIndex.fetch_add(1);
        while (index < count && !job.failed.load()) {
            const ManifestFile& entry = job.fileList[index];
            std::string error;
            if (!downloadWithRetries(downloader, entry.path, job.targetFolder / entry.path, exactly(entry.size),
                                     nullptr, &error)) {
                recordFailure(job, error);
                break;
            }
            const std::uint64_t done = job.bytesDone.fetch_add(entry.size) + entry.size;
            const double fraction = static_cast<double>(done) / static_cast<double>(job.bytesTotal);
            SetStatus(LauncherPhase::Updating, "Downloading update",
                      downloadDetail(std::min<std::uint64_t>(count, index + 1), count, done, job.bytesTotal),
                      0.45f * static_cast<float>(fraction));
            index = job.nextIndex.fetch_add(1);
        }
    } catch (const std::exception& e) {
        recordFailure(job, std::string("Download failed: ") + e.what());
    } catch (...) {
        recordFailure(job, "Download failed.");
    }
}

}  // namespace

std::string downloadDetail(std::size_t position, std::size_t count, std::uint64_t bytesDone,
                           std::uint64_t bytesTotal) {
    char text[96];
    std::snprintf(text, sizeof text, "%zu of %zu files, %.0f of %.0f MB", position, count,
                  static_cast<double>(bytesDone) / 1048576.0, static_cast<double>(bytesTotal) / 1048576.0);
    return text;
}

bool downloadJobFiles(DownloadJob& job) {
    const std::size_t threadCount = std::min(std::max<std::size_t>(job.fileList.size(), 1), kMaxDownloadThreads);
    std::vector<std::thread> threads;
    threads.reserve(threadCount);
    for (std::size_t i = 0; i < threadCount; ++i) {
        try {
            threads.emplace_back(downloadThread, std::ref(job));
        } catch (...) {
            // Fewer threads still finish the job: the ones running take every index.
            if (threads.empty()) {
                recordFailure(job, "Could not start the download.");
                return false;
            }
            break;
        }
    }
    for (std::thread& thread : threads) thread.join();
    return !job.failed.load();
}

void refreshDownloadToken() {
    std::string serverUrl;
    std::string sessionToken;
    {
        LauncherState& state = launcherState();
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!state.loggedIn) return;
        serverUrl = state.serverUrl;
        sessionToken = state.sessionToken;
    }
    std::string token;
    bool gate = false;
    if (requestDownloadToken(serverUrl, sessionToken, token, gate, nullptr)) setDownloadToken(token);
}

void pruneDownloadCache(const std::filesystem::path& folder) {
    if (folder.filename() != L".patch_remote") return;
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    if (ec) return;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const std::filesystem::path name = it->path().filename();
        if (name == L"update_manifest.json" || name == L"update_manifest.sig" || name == L"patch_notes.json") {
            continue;
        }
        std::error_code removeError;
        std::filesystem::remove_all(it->path(), removeError);
    }
}

void runUpdateWorker() {
    try {
        PublishedRelease release =
            beginUpdate(LauncherPhase::Updating, "Installing update", "Staging verified files", 0.01f);
        const ReleaseManifest& manifest = release.manifest;
        UpdatePlan plan;
        plan.filesToFetch = std::move(release.filesToFetch);
        plan.obsoletePaths = std::move(release.obsoletePaths);
        plan.bytesToFetch = release.bytesToFetch;
        const std::filesystem::path& sourceFolder = release.sourceFolder;
        const std::string& sourceText = release.sourceText;
        // Set once at start-up, before any worker exists.
        const std::filesystem::path launcherDir = launcherState().launcherDir;
        // Shared with this launcher's other workers, exclusive to other processes.
        FolderWorkLock workLock;
        std::string lockError;
        if (!workLock.acquire(launcherDir, &lockError)) {
            SetStatus(LauncherPhase::Error, "Update failed", lockError, 0.0f);
            return;
        }
        refreshDownloadToken();

        const bool remote = isHttpUrl(sourceText);
        if (remote) {
            // Every file is downloaded again anyway; what an earlier, failed
            // update left there may be a file where this release has a
            // folder (or the reverse) and would block its downloads for good.
            pruneDownloadCache(sourceFolder);
            DownloadJob job;
            job.patchUrl = sourceText;
            job.fileList = plan.filesToFetch;
            job.targetFolder = sourceFolder;
            job.bytesTotal = std::max<std::uint64_t>(plan.bytesToFetch, 1);
            if (!downloadJobFiles(job)) {
                SetStatus(LauncherPhase::Error, "Download failed", job.firstError, 0.0f);
                return;
            }
        }

        const InstallProgressCallback progress = [remote](float fraction, const std::string& detail) {
            SetStatus(LauncherPhase::Updating, "Installing update", detail,
                      remote ? 0.45f + 0.55f * fraction : fraction);
        };
        std::string error;
        if (!applyUpdate(launcherDir, sourceFolder, manifest, plan, progress, &error)) {
            SetStatus(LauncherPhase::Error, "Update failed", error, 0.0f);
            return;
        }
        if (remote) pruneDownloadCache(sourceFolder);
        SetStatus(LauncherPhase::Ready, "Game is ready", "Release " + manifest.releaseId, 1.0f);
    } catch (...) {
        SetStatus(LauncherPhase::Error, "Update failed", "The update stopped unexpectedly. Press RETRY.", 0.0f);
    }
}
