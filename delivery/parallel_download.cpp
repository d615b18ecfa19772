#include "delivery/parallel_download.h"

#include "base/safe_remove.h"
#include "delivery/delta_download.h"
#include "delivery/download_client.h"
#include "update/file_hash.h"

#include <windows.h>

#include <algorithm>
#include <exception>
#include <limits>
#include <thread>

namespace {

void recordFailure(DownloadJob& job, const std::string& error) {
    std::lock_guard<std::mutex> lock(job.errorMutex);
    if (!job.failed.exchange(true)) job.firstError = error;
}

// A copy left in the cache by an earlier attempt that is exactly the
// release's file: it is used as it is, not downloaded again.
bool isVerifiedCopy(const std::filesystem::path& path, const ManifestFile& entry) {
    if (entry.sha256.empty()) return false;
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
    if (job.installFolder.empty() || entry.sha256.empty() || entry.size < kDeltaMinimumBytes) return false;
    try {
        return deltaDownload(downloader, entry.path, entry.size, entry.sha256, job.installFolder / entry.path,
                             destination, position);
    } catch (...) {
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
            if (!isVerifiedCopy(destination, entry)) {
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
            }
            const std::uint64_t size = entry.sha256.empty() ? onHand : entry.size;
            job.bytesDone.fetch_add(size - onHand);
            onHand = size;
            job.filesDone.fetch_add(1);
            index = job.nextIndex.fetch_add(1);
        }
    } catch (const std::exception& e) {
        recordFailure(job, std::string("Download failed: ") + e.what());
    } catch (...) {
        recordFailure(job, "Download failed.");
    }
}

}  // namespace

bool downloadFilesInParallel(DownloadJob& job, std::size_t maxThreads) {
    const std::size_t threadCount =
        std::min(std::max<std::size_t>(job.fileList.size(), 1), std::max<std::size_t>(maxThreads, 1));
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
    return !job.failed.load();
}
