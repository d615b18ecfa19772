#pragma once
// The update the release check prepared: parallel downloads from an HTTP(S)
// patch source, then the update transaction, reported through setStatus.

#include "update/manifest.h"
#include "delivery/parallel_download.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

// Thread body of the update; its outcome is the final setStatus.
void runUpdateWorker();

// Obtains a download token for the logged-in player and hands it to the
// download client; failures keep the current token and report nothing.
// Returns the sequence of the release the game service calls current, 0 when
// it names none (or the request failed).
std::int32_t refreshDownloadToken();

// downloadFilesInParallel with kMaxDownloadThreads, reporting the progress as
// bytes arrive (rebuilt files' reused bytes as they are found), at most ten
// times a second.
[[nodiscard]] bool downloadJobFiles(DownloadJob& job);

// "%zu of %zu files, %.0f of %.0f MB" (finished files; MB of 1048576 bytes).
// When fewer bytes crossed the network than are done (reused, kept or
// rebuilt ones), followed by " ready, 0.1 MB downloaded".
std::string downloadDetail(std::size_t filesDone, std::size_t count, std::uint64_t bytesDone, std::uint64_t bytesTotal,
                           std::uint64_t bytesFetched = UINT64_MAX);

// The detail followed by the rate and the time left, e.g.
// ", 42 MB/s, about 41 s left"; at most 95 characters in all.
std::string downloadDetailWithRate(std::size_t filesDone, std::size_t count, std::uint64_t bytesDone,
                                   std::uint64_t bytesTotal, double bytesPerSecond,
                                   std::uint64_t bytesFetched = UINT64_MAX);

// Removes everything but the release list, its signature and the patch notes
// from the download cache ".patch_remote"; any other folder is left alone.
void pruneDownloadCache(const std::filesystem::path& folder);

// Before downloading: removes from ".patch_remote" only what is not part of
// `planned` (the files, their ".download" and ".download.resume" files and
// their folders), the release list, its signature and the patch notes; so a
// file or folder in a planned file's way goes too.
void pruneDownloadCache(const std::filesystem::path& folder, const std::vector<ManifestFile>& planned);
