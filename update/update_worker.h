#pragma once
// The update the release check prepared: parallel downloads from an HTTP(S)
// patch source, then the update transaction, reported through SetStatus.

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
    // Files finished or reused.
    std::atomic<std::uint64_t> filesDone{0};
    std::uint64_t bytesTotal = 1;
};

// Thread body of the update; its outcome is the final SetStatus.
void runUpdateWorker();

// Obtains a download token for the logged-in player and hands it to the
// download client; failures keep the current token and report nothing.
// Returns the sequence of the release the game service calls current, 0 when
// it names none (or the request failed).
std::int32_t refreshDownloadToken();

// Fetches every file of the job with min(max(N, 1), 8) threads; a verified
// copy already in the target folder is used as it is, and a file of at least
// kDeltaMinimumBytes whose path is installed is rebuilt from that copy where
// it can be. Reports the progress as bytes arrive (rebuilt files' reused
// bytes as they are found), at most ten times a second. False when a download
// failed; `job.firstError` then holds the first failure's text.
[[nodiscard]] bool downloadJobFiles(DownloadJob& job);

// "%zu of %zu files, %.0f of %.0f MB" (finished files; MB of 1048576 bytes).
std::string downloadDetail(std::size_t filesDone, std::size_t count, std::uint64_t bytesDone, std::uint64_t bytesTotal);

// The detail followed by the rate and the time left, e.g.
// ", 42 MB/s, about 41 s left"; at most 95 characters in all.
std::string downloadDetailWithRate(std::size_t filesDone, std::size_t count, std::uint64_t bytesDone,
                                   std::uint64_t bytesTotal, double bytesPerSecond);

// Removes everything but the release list, its signature and the patch notes
// from the download cache ".patch_remote"; any other folder is left alone.
void pruneDownloadCache(const std::filesystem::path& folder);

// Before downloading: removes from ".patch_remote" only what is not part of
// `planned` (the files, their ".download" and ".download.resume" files and
// their folders), the release list, its signature and the patch notes; so a
// file or folder in a planned file's way goes too.
void pruneDownloadCache(const std::filesystem::path& folder, const std::vector<ManifestFile>& planned);
