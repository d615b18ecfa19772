#pragma once
// How a transfer's pace is watched: a stall watch that fails a transfer
// bringing too little, and the read pace that picks how WinHTTP is read.

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <utility>

// A transfer that brings less than this within one stall window fails.
inline constexpr std::uint64_t kStallMinimumBytes = 1024;
inline constexpr std::chrono::milliseconds kDefaultStallWindow{30000};

// From this rate on, reads ask WinHTTP for a whole buffer without first
// asking what has arrived (see ReadPace).
inline constexpr std::uint64_t kFastBytesPerSecond = 8ull * 1024 * 1024;

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

// Under Wine, WinHttpReadData returns only once the buffer is full or the
// body has ended, so a big read on a slow link would keep the stall watch
// from looking for as long as the buffer takes to fill. While bytes flow
// fast, reads go straight for a whole buffer, without a
// WinHttpQueryDataAvailable round trip each; otherwise each read takes what
// has arrived. (A host that turns from fast to a trickle within one read
// delays the stall watch until that read is full; one that stops outright
// is cut off by the receive time-out.)
class ReadPace {
public:
    explicit ReadPace(bool fast) : fast_(fast) {}
    bool fast() const { return fast_; }

    void arrived(std::uint64_t bytes) {
        bytes_ += bytes;
        const auto now = std::chrono::steady_clock::now();
        const auto span = std::chrono::duration_cast<std::chrono::microseconds>(now - since_).count();
        if (span < 50000) return;
        fast_ = bytes_ * 1000000 / static_cast<std::uint64_t>(span) >= kFastBytesPerSecond;
        since_ = now;
        bytes_ = 0;
    }

private:
    bool fast_;
    std::uint64_t bytes_ = 0;
    std::chrono::steady_clock::time_point since_ = std::chrono::steady_clock::now();
};
