#pragma once
// The update's download loop: a few threads, each keeping one downloader (and
// so one connection), take the files of a release one at a time. The update
// worker runs it, and so does the toolkit's fetch-many that measures it.

#include "update/file_identity.h"
#include "update/manifest.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

inline constexpr std::size_t kMaxDownloadThreads = 8;

// State shared by the download threads of one update.
struct DownloadJob {
    std::string patchUrl;
    // A file without a digest is fetched whole at any size, unchecked (only
    // the toolkit asks for such files).
    std::vector<ManifestFile> fileList;
    std::filesystem::path targetFolder;
    // Where the release is installed: large files are rebuilt from the
    // installed copies there when the host publishes chunk indexes. Empty: never.
    std::filesystem::path installFolder;
    std::atomic<std::uint64_t> nextIndex{0};
    std::atomic<bool> failed{false};
    std::mutex errorMutex;
    std::string firstError;
    // Bytes on hand: finished files, copies reused from the cache, and what
    // has arrived of the files still downloading (kept bytes included).
    std::atomic<std::uint64_t> bytesDone{0};
    // Body bytes that crossed the network; what the rate is taken from.
    std::atomic<std::uint64_t> bytesFetched{0};
    // Files finished or reused.
    std::atomic<std::uint64_t> filesDone{0};
    std::uint64_t bytesTotal = 1;
    // By fileList position, filled as files arrive verified.
    ArrivedFiles arrived;
};

// Fetches every file of the job with min(max(N, 1), maxThreads) threads; a
// verified copy already in the target folder is used as it is, and a file of
// at least kDeltaMinimumBytes whose path is installed is rebuilt from that
// copy where it can be. Counts into `job.bytesDone` and `job.filesDone` as
// bytes arrive. False when a download failed; `job.firstError` then holds
// the first failure's text.
[[nodiscard]] bool downloadFilesInParallel(DownloadJob& job, std::size_t maxThreads = kMaxDownloadThreads);
