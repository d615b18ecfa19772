#include "update/update_worker.h"

#include "account/session.h"
#include "base/diagnostic_log.h"
#include "base/install_files.h"
#include "base/safe_remove.h"
#include "delivery/release_check.h"
#include "startup/uninstall_entry.h"
#include "delivery/download_client.h"
#include "ui/launcher_state.h"
#include "update/file_hash.h"
#include "update/folder_work_lock.h"
#include "update/inspection.h"
#include "update/update_transaction.h"
#include "update/windows_names.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <optional>
#include <set>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Progress is shown at most this often.
constexpr std::chrono::milliseconds kReportInterval{100};
// The rate is taken over this much of the recent past, and shown once this
// much of it is known.
constexpr std::chrono::seconds kRateSpan{5};
constexpr std::chrono::seconds kRateKnownAfter{2};

// The download rate over the last few seconds, from samples of the bytes
// that crossed the network.
class RateWindow {
public:
    void add(Clock::time_point now, std::uint64_t bytes) {
        samples_.emplace_back(now, bytes);
        while (samples_.size() > 1 && now - samples_[1].first >= kRateSpan) samples_.pop_front();
    }

    // Bytes per second, once enough of the past is known.
    std::optional<double> bytesPerSecond() const {
        if (samples_.size() < 2) return std::nullopt;
        const double seconds = std::chrono::duration<double>(samples_.back().first - samples_.front().first).count();
        if (seconds < std::chrono::duration<double>(kRateKnownAfter).count()) return std::nullopt;
        const double bytes = static_cast<double>(samples_.back().second) - static_cast<double>(samples_.front().second);
        return std::max(bytes, 0.0) / seconds;  // a file starting over can take bytes back
    }

private:
    std::deque<std::pair<Clock::time_point, std::uint64_t>> samples_;
};

// The one thread that turns the download threads' counters into status
// reports: at most one per interval, and only when what is shown changed.
// Its last report, after the downloads ended well, shows them complete.
struct ProgressReporter {
    explicit ProgressReporter(DownloadJob& reported) : job(reported) {}
    DownloadJob& job;
    std::mutex mutex;
    std::condition_variable wake;
    bool finished = false;

    void run() {
        try {
            RateWindow rate;
            std::string shownDetail;
            int shownThousandths = -1;
            bool last = false;
            while (!last) {
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    last = wake.wait_for(lock, kReportInterval, [this] { return finished; });
                }
                if (last && job.failed.load()) return;
                const std::uint64_t bytes = std::min(job.bytesDone.load(), job.bytesTotal);
                const std::size_t files = static_cast<std::size_t>(job.filesDone.load());
                const std::size_t count = job.fileList.size();
                // Kept, reused and rebuilt bytes are done, never speed.
                const std::uint64_t fetched = job.bytesFetched.load();
                rate.add(Clock::now(), fetched);
                const std::optional<double> perSecond = rate.bytesPerSecond();
                std::string detail =
                    perSecond && !last && files < count
                        ? downloadDetailWithRate(files, count, bytes, job.bytesTotal, *perSecond, fetched)
                        : downloadDetail(files, count, bytes, job.bytesTotal, fetched);
                const double fraction = static_cast<double>(bytes) / static_cast<double>(job.bytesTotal);
                const float progress = 0.45f * static_cast<float>(fraction);
                const int thousandths = static_cast<int>(progress * 1000.0f);
                if (detail == shownDetail && thousandths == shownThousandths) continue;
                shownDetail = detail;
                shownThousandths = thousandths;
                setStatus(LauncherPhase::Updating, "Downloading update", std::move(detail), progress);
            }
        } catch (...) {
            logWarning("update", "Download progress could not be shown; the download goes on.");
        }
    }

    void finish() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            finished = true;
        }
        wake.notify_all();
    }
};

bool isCheckFile(const std::filesystem::path& name) {
    return name == kReleaseListName || name == kReleaseSignatureName || name == kPatchNotesName;
}

void pruneBelow(const std::filesystem::path& folder, const std::wstring& prefix, const std::set<std::wstring>& files,
                const std::set<std::wstring>& folders) {
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    if (ec) return;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const std::filesystem::path name = it->path().filename();
        if (prefix.empty() && isCheckFile(name)) continue;
        const std::wstring relative = prefix.empty() ? name.native() : prefix + L"/" + name.native();
        const std::wstring key = upperCaseName(relative);  // Windows ignores letter case
        std::error_code statusError;
        const std::filesystem::file_status status = it->symlink_status(statusError);
        const bool link = isLinkEntry(it->path());
        if (!link && !statusError && std::filesystem::is_directory(status) && folders.contains(key)) {
            pruneBelow(it->path(), relative, files, folders);
            continue;
        }
        if (!link && !statusError && std::filesystem::is_regular_file(status) && files.contains(key)) continue;
        (void)removeTree(it->path());
    }
}

}  // namespace

std::string downloadDetail(std::size_t filesDone, std::size_t count, std::uint64_t bytesDone, std::uint64_t bytesTotal,
                           std::uint64_t bytesFetched) {
    char text[96];
    std::snprintf(text, sizeof text, "%zu of %zu files, %.0f of %.0f MB", filesDone, count,
                  static_cast<double>(bytesDone) / 1048576.0, static_cast<double>(bytesTotal) / 1048576.0);
    if (bytesFetched >= bytesDone) return text;
    // Some of what is on hand did not cross the network: say what did.
    const double fetched = static_cast<double>(bytesFetched) / 1048576.0;
    char more[64];
    std::snprintf(more, sizeof more, fetched < 9.95 ? " ready, %.1f MB downloaded" : " ready, %.0f MB downloaded",
                  fetched);
    return std::string(text) + more;
}

std::string downloadDetailWithRate(std::size_t filesDone, std::size_t count, std::uint64_t bytesDone,
                                   std::uint64_t bytesTotal, double bytesPerSecond, std::uint64_t bytesFetched) {
    const double megabytes = bytesPerSecond / 1048576.0;
    char rate[32];
    if (megabytes >= 10.0) {
        std::snprintf(rate, sizeof rate, "%.0f MB/s", megabytes);
    } else if (megabytes >= 0.1) {
        std::snprintf(rate, sizeof rate, "%.1f MB/s", megabytes);
    } else {
        std::snprintf(rate, sizeof rate, "%.0f KB/s", bytesPerSecond / 1024.0);
    }
    char left[40] = "";
    const std::uint64_t remaining = bytesTotal > bytesDone ? bytesTotal - bytesDone : 0;
    if (bytesPerSecond >= 1.0) {
        const double seconds = static_cast<double>(remaining) / bytesPerSecond;
        if (seconds < 59.5) {
            std::snprintf(left, sizeof left, ", about %.0f s left", std::max(seconds, 1.0));
        } else if (seconds < 3570.0) {
            std::snprintf(left, sizeof left, ", about %.0f min left", seconds / 60.0);
        } else if (seconds < 36000.0) {
            const long minutes = std::lround(seconds / 60.0);
            std::snprintf(left, sizeof left, ", about %ld h %ld min left", minutes / 60, minutes % 60);
        } else {
            std::snprintf(left, sizeof left, ", about %.0f h left", std::min(seconds / 3600.0, 999.0));
        }
    }
    char text[96];
    std::snprintf(text, sizeof text, "%s, %s%s",
                  downloadDetail(filesDone, count, bytesDone, bytesTotal, bytesFetched).c_str(), rate, left);
    return text;
}

bool downloadJobFiles(DownloadJob& job) {
    ProgressReporter reporter(job);
    std::thread reporterThread;
    try {
        // A plan that only removes files downloads nothing and shows no downloads.
        if (!job.fileList.empty()) reporterThread = std::thread(&ProgressReporter::run, &reporter);
    } catch (...) {
        logWarning("update", "No progress thread could be started; the download goes on unseen.");
    }
    const bool downloaded = downloadFilesInParallel(job, kMaxDownloadThreads);
    reporter.finish();
    if (reporterThread.joinable()) reporterThread.join();
    return downloaded;
}

std::int32_t refreshDownloadToken() {
    const SessionCopy session = currentSession();
    if (!session.loggedIn) return 0;
    std::string token;
    bool gate = false;
    std::int32_t currentRelease = 0;
    if (!requestDownloadToken(session.serverUrl, session.sessionToken, token, gate, currentRelease, nullptr)) return 0;
    setDownloadToken(token);
    return currentRelease;
}

void pruneDownloadCache(const std::filesystem::path& folder) {
    if (folder.filename() != kDownloadCacheName) return;
    // A link in the cache's place is removed, never entered.
    if (isLinkEntry(folder)) {
        (void)removeTree(folder);
        return;
    }
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    if (ec) return;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (isCheckFile(it->path().filename()) && !isLinkEntry(it->path())) continue;
        (void)removeTree(it->path());
    }
}

void pruneDownloadCache(const std::filesystem::path& folder, const std::vector<ManifestFile>& planned) {
    if (folder.filename() != kDownloadCacheName) return;
    if (isLinkEntry(folder)) {
        (void)removeTree(folder);
        return;
    }
    std::set<std::wstring> files;
    std::set<std::wstring> folders;
    for (const ManifestFile& entry : planned) {
        const std::wstring path = upperCaseName(entry.path.generic_wstring());
        files.insert(path);
        files.insert(path + L".DOWNLOAD");
        files.insert(path + L".DOWNLOAD.RESUME");
        for (std::size_t slash = path.find(L'/'); slash != std::wstring::npos; slash = path.find(L'/', slash + 1)) {
            folders.insert(path.substr(0, slash));
        }
    }
    pruneBelow(folder, L"", files, folders);
}

namespace {

// Downloads the plan's files into the download cache; false once the
// failure is the status.
bool downloadPlannedFiles(const std::filesystem::path& launcherDir, const std::filesystem::path& sourceFolder,
                          const std::string& sourceText, const UpdatePlan& plan, ArrivedFiles& arrived) {
    // What an earlier attempt left of this plan (whole files, kept partial
    // downloads) is reused; anything else goes, above all a file where this
    // release has a folder (or the reverse), which would block its downloads
    // for good.
    pruneDownloadCache(sourceFolder, plan.filesToFetch);
    std::string linkError;
    if (!removeLinksOnPath(launcherDir, sourceFolder, &linkError)) {
        setStatus(LauncherPhase::Error, "Download failed", "Could not create download folder: " + linkError, 0.0f);
        return false;
    }
    DownloadJob job;
    job.patchUrl = sourceText;
    job.fileList = plan.filesToFetch;
    job.targetFolder = sourceFolder;
    job.installFolder = launcherDir;
    job.bytesTotal = std::max<std::uint64_t>(plan.bytesToFetch, 1);
    const ULONGLONG started = GetTickCount64();
    if (!downloadJobFiles(job)) {
        logWarning("update", "Download failed after " + std::to_string(job.filesDone.load()) + " of " +
                                 std::to_string(job.fileList.size()) + " files: " + job.firstError);
        setStatus(LauncherPhase::Error, "Download failed", job.firstError, 0.0f);
        return false;
    }
    arrived = std::move(job.arrived);
    logInfo("update", "Downloaded " + std::to_string(job.fileList.size()) + " files, " +
                          std::to_string(job.bytesDone.load()) + " bytes, in " +
                          std::to_string(GetTickCount64() - started) + " ms.");
    return true;
}

}  // namespace

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
        const std::filesystem::path launcherDir = currentLauncherDir();
        // Shared with this launcher's other workers, exclusive to other processes.
        FolderWorkLock workLock;
        std::string lockError;
        if (!workLock.acquire(launcherDir, &lockError)) {
            setStatus(LauncherPhase::Error, "Update failed", lockError, 0.0f);
            return;
        }
        // Another launcher or the toolkit may have installed a release since
        // the check made this plan, which would now roll it back or mix the two.
        if (sha256FileHex(launcherDir / kReleaseListName) != release.installedDigest) {
            workLock.release();
            runReleaseCheck();
            return;
        }
        // A source that keeps serving an old, validly signed release would
        // keep the player on it; the game service knows the current one.
        if (refreshDownloadToken() > manifest.releaseSequence) {
            setStatus(LauncherPhase::Error, "Patch source out of date",
                      "The patch source offers release " + manifest.releaseId +
                          ", but a newer release is current. Nothing was installed.",
                      0.0f);
            return;
        }

        const bool remote = isHttpUrl(sourceText);
        ArrivedFiles arrived;
        if (remote && !downloadPlannedFiles(launcherDir, sourceFolder, sourceText, plan, arrived)) return;

        const InstallProgressCallback progress = [remote](float fraction, const std::string& detail) {
            setStatus(LauncherPhase::Updating, "Installing update", detail,
                      remote ? 0.45f + 0.55f * fraction : fraction);
        };
        std::string error;
        // The release list installed is the one the release check accepted,
        // not whatever the source folder holds by now.
        const std::vector<std::uint8_t>* accepted = release.manifestBytes.empty() ? nullptr : &release.manifestBytes;
        if (!applyUpdate(launcherDir, sourceFolder, manifest, plan, progress, &error, accepted, &arrived)) {
            logWarning("update", "Applying release " + manifest.releaseId + " failed: " + error);
            setStatus(LauncherPhase::Error, "Update failed", error, 0.0f);
            return;
        }
        logInfo("update", "Installed release " + manifest.releaseId + ": " + std::to_string(plan.filesToFetch.size()) +
                              " files replaced, " + std::to_string(plan.obsoletePaths.size()) + " removed.");
        if (remote) pruneDownloadCache(sourceFolder);
        // Settings > Apps shows the size of the game as it is now.
        refreshUninstallEntry(launcherDir);
        setStatus(LauncherPhase::Ready, "Game is ready", "Release " + manifest.releaseId, 1.0f);
    } catch (const std::exception& e) {
        logError("update", std::string("The update stopped by an exception: ") + e.what());
        setStatus(LauncherPhase::Error, "Update failed", "The update stopped unexpectedly. Press RETRY.", 0.0f);
    } catch (...) {
        logError("update", "The update stopped by an unknown exception.");
        setStatus(LauncherPhase::Error, "Update failed", "The update stopped unexpectedly. Press RETRY.", 0.0f);
    }
}
