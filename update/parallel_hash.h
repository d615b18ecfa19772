#pragma once
// Files hashed on several threads at once, the results taken back in the
// order the files were handed in. A check of a large installation is bound
// by SHA-256, and one thread per core (at most four) keeps every core busy.

#include "update/file_identity.h"

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

class ParallelHasher {
public:
    // Threads are started with the first file; when none can be started,
    // next() hashes on the calling thread.
    explicit ParallelHasher(std::size_t threads = hashThreadCount());
    // Drops the files not started yet and waits for those being hashed.
    ~ParallelHasher();
    ParallelHasher(const ParallelHasher&) = delete;
    ParallelHasher& operator=(const ParallelHasher&) = delete;

    void add(std::filesystem::path path);

    // Files handed in and not yet taken back.
    std::size_t pending() const;

    // The result for the oldest file not yet taken back, waiting for it.
    // Only after add().
    HashedFile next();

private:
    struct Job {
        std::filesystem::path path;
        bool done = false;
        HashedFile result;
    };

    void work();
    void startThreads();

    std::size_t wanted_;
    bool started_ = false;
    std::vector<std::thread> threads_;
    mutable std::mutex mutex_;
    std::condition_variable jobAdded_;
    std::condition_variable jobDone_;
    std::deque<Job> jobs_;         // from the oldest not taken back
    std::size_t firstJob_ = 0;     // number of jobs_.front()
    std::size_t nextToStart_ = 0;  // number of the next job a thread takes
    bool stopping_ = false;
};
