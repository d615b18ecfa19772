#pragma once
// Files hashed on several threads at once, the results taken back in the
// order the files were handed in. A check of a large installation is bound
// by SHA-256, and one thread per core (at most four) keeps every core busy.

#include "update/file_identity.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct HashedFile {
    bool hashed = false;
    std::string digest;                    // when hashed
    std::string error;                     // hashFile's message when not hashed
    std::optional<FileIdentity> identity;  // of the content hashed (hashFileWithIdentity)
    std::uint64_t seenAt = 0;              // the time just before the file was opened
};

// The hardware's threads, at least 1 and at most 4.
std::size_t hashThreadCount();

// What next() gives for a file whose hashing thread failed: the files handed
// in can no longer be told apart from changed ones, so the work ends there.
inline constexpr char kHashThreadFailedMessage[] = "A file check stopped unexpectedly. Nothing was changed; retry.";

// Hashes one file; it reports in HashedFile and does not throw.
using FileHashFunction = HashedFile (*)(const std::filesystem::path& path);
HashedFile hashFileForCheck(const std::filesystem::path& path);

class ParallelHasher {
public:
    // Threads are started with the first file; when none can be started,
    // next() hashes on the calling thread.
    explicit ParallelHasher(std::size_t threads = hashThreadCount(), FileHashFunction hash = hashFileForCheck);
    // Drops the files not started yet and waits for those being hashed.
    ~ParallelHasher();
    ParallelHasher(const ParallelHasher&) = delete;
    ParallelHasher& operator=(const ParallelHasher&) = delete;

    void add(std::filesystem::path path);

    // Files handed in and not yet taken back.
    std::size_t pending() const;

    // The result for the oldest file not yet taken back, waiting for it.
    // Only after add(). Once a hashing thread has failed, a file not yet
    // done is not hashed, with kHashThreadFailedMessage as its error.
    HashedFile next();

    // True once a hashing thread ended in failure.
    bool failed() const;

private:
    struct Job {
        std::filesystem::path path;
        bool done = false;
        HashedFile result;
    };

    void work();
    void markFailed() noexcept;
    void startThreads();

    std::size_t wanted_;
    FileHashFunction hash_;
    bool started_ = false;
    std::vector<std::thread> threads_;
    mutable std::mutex mutex_;
    std::condition_variable jobAdded_;
    std::condition_variable jobDone_;
    std::deque<Job> jobs_;         // from the oldest not taken back
    std::size_t firstJob_ = 0;     // number of jobs_.front()
    std::size_t nextToStart_ = 0;  // number of the next job a thread takes
    bool stopping_ = false;
    std::atomic<bool> failed_{false};
};
