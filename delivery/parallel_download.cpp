#include "delivery/parallel_download.h"

#include "base/diagnostic_log.h"
#include "base/safe_remove.h"
#include "delivery/delta_download.h"
#include "delivery/download_client.h"
#include "update/file_hash.h"

#include <windows.h>

#include <algorithm>
#include <exception>
#include <limits>
#include <optional>
#include <thread>

namespace {

void recordFailure(DownloadJob& job, const std::string& error) {
    std::lock_guard<std::mutex> lock(job.errorMutex);
    if (!job.failed.exchange(true)) job.firstError = error;
}

// A copy left in the cache by an earlier attempt that is exactly the
// release's file: it is used as it is, not downloaded again. `identity` is
// that of the content hashed.
bool isVerifiedCopy(const std::filesystem::path& path, const ManifestFile& entry,
                    std::optional<FileIdentity>& identity) {
    if (entry.sha256.empty()) return false;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return false;
    }
    const std::uint64_t size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    std::string digest;
    return size == entry.size && hashFileWithIdentity(path, digest, identity) && digest == entry.sha256;
}

// A large file whose path is installed is first rebuilt from the installed
// copy and the release's chunk index; any trouble there only means the file
// is downloaded whole.
bool rebuiltFromInstalledCopy(const DownloadJob& job, PatchDownloader& downloader, const ManifestFile& entry,
                              const std::filesystem::path& destination, const DownloadPositionCallback& position) {
    if (job.installFolder.empty() || entry.sha256.empty() || entry.size < kDeltaMinimumBytes) return false;
    const std::string name = genericPathUtf8(entry.path);
    try {
        DeltaPlan plan;
        std::string why;
        const bool rebuilt = deltaDownload(downloader, entry.path, entry.size, entry.sha256,
                                           job.installFolder / entry.path, destination, position, &plan, &why);
        if (rebuilt) {
            logInfo("update", "Rebuilt " + name + ": " + std::to_string(plan.reusedBytes) + " bytes reused, " +
                                  std::to_string(plan.fetchBytes) + " fetched in " +
                                  std::to_string(plan.ranges.size()) + " ranges.");
        } else {
            logInfo("update", "Rebuild of " + name + " given up, downloading it whole: " + why);
        }
        return rebuilt;
    } catch (const std::exception& e) {
        logWarning("update", "Rebuild of " + name + " failed, downloading it whole: " + e.what());
        if (position) position(0);
        return false;
    } catch (...) {
        logWarning("update", "Rebuild of " + name + " failed, downloading it whole: unknown exception.");
        if (position) position(0);
        return false;
    }
}

DownloadLimit limitOf(const ManifestFile& entry) {
    if (entry.sha256.empty()) return {std::numeric_limits<std::uint64_t>::max(), false, {}};
    return releaseFile(entry.size, entry.sha256);
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
        downloader.setNetworkCounter(&job.bytesFetched);
        const std::uint64_t count = job.fileList.size();
        std::uint64_t index = job.nextIndex.fetch_add(1);
        while (index < count && !job.failed.load()) {
            const ManifestFile& entry = job.fileList[index];
            const std::filesystem::path destination = job.targetFolder / entry.path;
            onHand = 0;
            std::optional<FileIdentity> arrival;
            if (!isVerifiedCopy(destination, entry, arrival)) {
                arrival.reset();
                std::string error;
                if (!removeLinksOnPath(job.targetFolder, destination.parent_path(), &error)) {
                    recordFailure(job, "Could not create download folder: " + error);
                    break;
                }
                if (!rebuiltFromInstalledCopy(job, downloader, entry, destination, observe) &&
                    !downloadWithRetries(downloader, entry.path, destination, limitOf(entry), nullptr, &error)) {
                    recordFailure(job, error);
                    break;
                }
                FileIdentity identity;
                if (!entry.sha256.empty() && readFileIdentity(destination, identity)) arrival = identity;
            }
            job.arrived[index] = arrival;  // each thread writes only the positions it took
            const std::uint64_t size = entry.sha256.empty() ? onHand : entry.size;
            job.bytesDone.fetch_add(size - onHand);
            onHand = size;
            job.filesDone.fetch_add(1);
            index = job.nextIndex.fetch_add(1);
        }
    } catch (const std::exception& e) {
        logError("update", std::string("Download thread stopped by an exception: ") + e.what());
        recordFailure(job, std::string("Download failed: ") + e.what());
    } catch (...) {
        logError("update", "Download thread stopped by an unknown exception.");
        recordFailure(job, "Download failed.");
    }
}

}  // namespace

bool downloadFilesInParallel(DownloadJob& job, std::size_t maxThreads) {
    const std::size_t threadCount =
        std::min(std::max<std::size_t>(job.fileList.size(), 1), std::max<std::size_t>(maxThreads, 1));
    job.arrived.assign(job.fileList.size(), std::nullopt);
    std::vector<std::thread> threads;
    threads.reserve(threadCount);
    for (std::size_t i = 0; i < threadCount; ++i) {
        try {
            threads.emplace_back(downloadThread, std::ref(job));
        } catch (...) {
            logWarning("update", "Only " + std::to_string(threads.size()) + " download threads could be started.");
            // Fewer threads still finish the job: the ones running take every index.
            if (threads.empty()) recordFailure(job, "Could not start the download.");
            break;
        }
    }
    for (std::thread& thread : threads) thread.join();
    return !job.failed.load();
}
