#pragma once
// How a transfer's pace is watched: a stall watch that fails a transfer
// bringing too little.

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <utility>

// A transfer that brings less than this within one stall window fails.
inline constexpr std::uint64_t kStallMinimumBytes = 1024;
inline constexpr std::chrono::milliseconds kDefaultStallWindow{30000};

// Watches that every stretch of the window brings at least
// kStallMinimumBytes. Keeps one mark per read that lies within the last
// kStallMinimumBytes received, so it stays small however long the transfer.
class StallWatch {
public:
    explicit StallWatch(std::chrono::milliseconds window)
        : window_(static_cast<std::uint64_t>(std::max<long long>(window.count(), 0))) {
        marks_.push_back({GetTickCount64(), 0});
    }

    // False once the last window brought less than the minimum.
    bool keepsUp(std::uint64_t received) {
        const std::uint64_t now = GetTickCount64();
        marks_.push_back({now, received});
        // The front mark becomes the moment the total first rose above
        // received - minimum: from then on less than the minimum arrived.
        while (marks_.front().second + kStallMinimumBytes <= received) marks_.pop_front();
        return now - marks_.front().first < window_;
    }

private:
    std::uint64_t window_;
    std::deque<std::pair<std::uint64_t, std::uint64_t>> marks_;  // (tick, total received)
};
