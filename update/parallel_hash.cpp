#include "update/parallel_hash.h"

#include "base/diagnostic_log.h"
#include "base/utf8_paths.h"
#include "update/file_hash.h"

#include <algorithm>

HashedFile hashFileForCheck(const std::filesystem::path& path) {
    HashedFile file;
    try {
        file.seenAt = currentFileTime();
        file.hashed = hashFileWithIdentity(path, file.digest, file.identity, &file.error);
    } catch (...) {
        logWarning("check", "Hashing " + pathToUtf8(path) + " stopped by an exception; the file counts as different.");
        file = HashedFile{};  // not hashed; the caller treats it as a file that differs
    }
    return file;
}

std::size_t hashThreadCount() { return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4); }

ParallelHasher::ParallelHasher(std::size_t threads, FileHashFunction hash)
    : wanted_(std::clamp<std::size_t>(threads, 1, 4)), hash_(hash) {}

ParallelHasher::~ParallelHasher() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    jobAdded_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

void ParallelHasher::startThreads() {
    started_ = true;
    // A single thread would only hash what the caller could hash itself.
    if (wanted_ < 2) return;
    try {
        for (std::size_t i = 0; i < wanted_; ++i) threads_.emplace_back([this] { work(); });
    } catch (...) {
        logWarning("check", "Only " + std::to_string(threads_.size()) + " hashing threads could be started.");
        // Fewer threads, or none: next() then hashes on the caller's thread.
    }
}

void ParallelHasher::add(std::filesystem::path path) {
    if (!started_) startThreads();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(Job{std::move(path), false, {}});
    }
    jobAdded_.notify_one();
}

std::size_t ParallelHasher::pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return jobs_.size();
}

HashedFile ParallelHasher::next() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (threads_.empty()) {
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        ++firstJob_;
        ++nextToStart_;
        lock.unlock();
        try {
            return hash_(job.path);
        } catch (...) {
            failed_ = true;
            HashedFile lost;
            lost.error = kHashThreadFailedMessage;
            return lost;
        }
    }
    // A failed thread may have taken this job: it would never be done.
    jobDone_.wait(lock, [this] { return jobs_.front().done || failed_; });
    HashedFile result;
    if (jobs_.front().done) {
        result = std::move(jobs_.front().result);
    } else {
        result.error = kHashThreadFailedMessage;
    }
    jobs_.pop_front();
    ++firstJob_;
    return result;
}

bool ParallelHasher::failed() const { return failed_; }

void ParallelHasher::work() {
    try {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            jobAdded_.wait(lock, [this] { return stopping_ || nextToStart_ < firstJob_ + jobs_.size(); });
            if (stopping_) return;
            const std::size_t number = nextToStart_++;
            // Jobs are taken back only when done, so this one stays in place.
            const std::filesystem::path path = std::move(jobs_[number - firstJob_].path);
            lock.unlock();
            HashedFile result = hash_(path);
            lock.lock();
            // After a failure next() may have given this job up already.
            if (number < firstJob_) continue;
            Job& job = jobs_[number - firstJob_];
            job.result = std::move(result);
            job.done = true;
            jobDone_.notify_all();
        }
    } catch (...) {
        // The thread ends; whoever waits for its job must not wait forever.
        markFailed();
    }
}

void ParallelHasher::markFailed() noexcept {
    failed_ = true;
    // Taken once so that a waiter between its check and its wait is woken.
    try {
        std::lock_guard<std::mutex> lock(mutex_);
    } catch (...) {
        logError("check", "The hashing lock failed; waiters are woken without it.");
    }
    jobDone_.notify_all();
}
