#include "update/update_worker.h"

#include "account/session.h"
#include "delivery/delta_download.h"
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
#include <exception>
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

void recordFailure(DownloadJob& job, const std::string& error) {
    std::lock_guard<std::mutex> lock(job.errorMutex);
    if (!job.failed.exchange(true)) job.firstError = error;
}

// A copy left in the cache by an earlier attempt that is exactly the
// release's file: it is used as it is, not downloaded again.
bool isVerifiedCopy(const std::filesystem::path& path, const ManifestFile& entry) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return false;
    }
    const std::uint64_t size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    std::string digest;
    return size == entry.size && hashFile(path, digest) && digest == entry.sha256;
}

// A large file whose path is installed is first rebuilt from the installed
// copy and the release's chunk index; any trouble there only means the file
// is downloaded whole.
bool rebuiltFromInstalledCopy(const DownloadJob& job, PatchDownloader& downloader, const ManifestFile& entry,
                              const std::filesystem::path& destination, const DownloadPositionCallback& position) {
    if (job.installFolder.empty() || entry.size < kDeltaMinimumBytes) return false;
    try {
        return deltaDownload(downloader, entry.path, entry.size, entry.sha256, job.installFolder / entry.path,
                             destination, position);
    } catch (...) {
        if (position) position(0);
        return false;
    }
}

void downloadThread(DownloadJob& job) {
    try {
        PatchDownloader downloader(job.patchUrl);
        // Bytes of the current file counted in bytesDone; the client reports
        // where it stands, and the difference goes to the shared count.
        std::uint64_t onHand = 0;
        const DownloadPositionCallback observe = [&](std::uint64_t position) {
            job.bytesDone.fetch_add(position - onHand);  // wraps to a subtraction when a file starts over
            onHand = position;
        };
        downloader.setPositionObserver(observe);
        const std::uint64_t count = job.fileList.size();
        std::uint64_t index = job.nextIndex.fetch_add(1);
        while (index < count && !job.failed.load()) {
            const ManifestFile& entry = job.fileList[index];
            const std::filesystem::path destination = job.targetFolder / entry.path;
            onHand = 0;
            if (!isVerifiedCopy(destination, entry)) {
                std::string error;
                if (!rebuiltFromInstalledCopy(job, downloader, entry, destination, observe) &&
                    !downloadWithRetries(downloader, entry.path, destination, releaseFile(entry.size, entry.sha256),
                                         nullptr, &error)) {
                    recordFailure(job, error);
                    break;
                }
            }
            job.bytesDone.fetch_add(entry.size - onHand);
            onHand = entry.size;
            job.filesDone.fetch_add(1);
            index = job.nextIndex.fetch_add(1);
        }
    } catch (const std::exception& e) {
        recordFailure(job, std::string("Download failed: ") + e.what());
    } catch (...) {
        recordFailure(job, "Download failed.");
    }
}

// The download rate over the last few seconds, from samples of the bytes on hand.
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
                rate.add(Clock::now(), bytes);
                const std::optional<double> perSecond = rate.bytesPerSecond();
                std::string detail = perSecond && !last && files < count
                                         ? downloadDetailWithRate(files, count, bytes, job.bytesTotal, *perSecond)
                                         : downloadDetail(files, count, bytes, job.bytesTotal);
                const double fraction = static_cast<double>(bytes) / static_cast<double>(job.bytesTotal);
                const float progress = 0.45f * static_cast<float>(fraction);
                const int thousandths = static_cast<int>(progress * 1000.0f);
                if (detail == shownDetail && thousandths == shownThousandths) continue;
                shownDetail = detail;
                shownThousandths = thousandths;
                SetStatus(LauncherPhase::Updating, "Downloading update", std::move(detail), progress);
            }
        } catch (...) {
            // Progress reports are not worth failing the update for.
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
    return name == L"update_manifest.json" || name == L"update_manifest.sig" || name == L"patch_notes.json";
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
        if (!statusError && std::filesystem::is_directory(status) && folders.contains(key)) {
            pruneBelow(it->path(), relative, files, folders);
            continue;
        }
        if (!statusError && std::filesystem::is_regular_file(status) && files.contains(key)) continue;
        std::error_code removeError;
        std::filesystem::remove_all(it->path(), removeError);
    }
}

}  // namespace

std::string downloadDetail(std::size_t filesDone, std::size_t count, std::uint64_t bytesDone,
                           std::uint64_t bytesTotal) {
    char text[96];
    std::snprintf(text, sizeof text, "%zu of %zu files, %.0f of %.0f MB", filesDone, count,
                  static_cast<double>(bytesDone) / 1048576.0, static_cast<double>(bytesTotal) / 1048576.0);
    return text;
}

std::string downloadDetailWithRate(std::size_t filesDone, std::size_t count, std::uint64_t bytesDone,
                                   std::uint64_t bytesTotal, double bytesPerSecond) {
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
    std::snprintf(text, sizeof text, "%s, %s%s", downloadDetail(filesDone, count, bytesDone, bytesTotal).c_str(), rate,
                  left);
    return text;
}

bool downloadJobFiles(DownloadJob& job) {
    const std::size_t threadCount = std::min(std::max<std::size_t>(job.fileList.size(), 1), kMaxDownloadThreads);
    ProgressReporter reporter(job);
    std::thread reporterThread;
    try {
        // A plan that only removes files downloads nothing and shows no downloads.
        if (!job.fileList.empty()) reporterThread = std::thread(&ProgressReporter::run, &reporter);
    } catch (...) {
        // The downloads do not need it; only their progress goes unseen.
    }
    std::vector<std::thread> threads;
    threads.reserve(threadCount);
    for (std::size_t i = 0; i < threadCount; ++i) {
        try {
            threads.emplace_back(downloadThread, std::ref(job));
        } catch (...) {
            // Fewer threads still finish the job: the ones running take every index.
            if (threads.empty()) recordFailure(job, "Could not start the download.");
            break;
        }
    }
    for (std::thread& thread : threads) thread.join();
    reporter.finish();
    if (reporterThread.joinable()) reporterThread.join();
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
        if (isCheckFile(it->path().filename())) continue;
        std::error_code removeError;
        std::filesystem::remove_all(it->path(), removeError);
    }
}

void pruneDownloadCache(const std::filesystem::path& folder, const std::vector<ManifestFile>& planned) {
    if (folder.filename() != L".patch_remote") return;
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
        // Another launcher or the toolkit may have installed a release since
        // the check made this plan, which would now roll it back or mix the two.
        if (sha256FileHex(launcherDir / L"update_manifest.json") != release.installedDigest) {
            workLock.release();
            runReleaseCheck();
            return;
        }
        refreshDownloadToken();

        const bool remote = isHttpUrl(sourceText);
        if (remote) {
            // What an earlier attempt left of this plan (whole files, kept
            // partial downloads) is reused; anything else goes, above all a
            // file where this release has a folder (or the reverse), which
            // would block its downloads for good.
            pruneDownloadCache(sourceFolder, plan.filesToFetch);
            DownloadJob job;
            job.patchUrl = sourceText;
            job.fileList = plan.filesToFetch;
            job.targetFolder = sourceFolder;
            job.installFolder = launcherDir;
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
        // The release list installed is the one the release check accepted,
        // not whatever the source folder holds by now.
        const std::vector<std::uint8_t>* accepted = release.manifestBytes.empty() ? nullptr : &release.manifestBytes;
        if (!applyUpdate(launcherDir, sourceFolder, manifest, plan, progress, &error, accepted)) {
            SetStatus(LauncherPhase::Error, "Update failed", error, 0.0f);
            return;
        }
        if (remote) pruneDownloadCache(sourceFolder);
        // Settings > Apps shows the size of the game as it is now.
        refreshUninstallEntry(launcherDir);
        SetStatus(LauncherPhase::Ready, "Game is ready", "Release " + manifest.releaseId, 1.0f);
    } catch (...) {
        SetStatus(LauncherPhase::Error, "Update failed", "The update stopped unexpectedly. Press RETRY.", 0.0f);
    }
}
