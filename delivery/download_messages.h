#pragma once
// The texts a download fails with, formed in one place.

#include <chrono>
#include <cstdint>
#include <string>

// "64 MiB", "16 KiB" or "1000 bytes".
std::string sizeText(std::uint64_t bytes);

// "Patch server sent more than <size> for <path>."
std::string tooLargeText(const std::string& relativeText, std::uint64_t limit);

// "Patch server sent <path> with a size that does not match the release
// manifest (<n> bytes)."
std::string sizeMismatchText(const std::string& relativeText, std::uint64_t size);

// "250 ms", "1 second" or "30 seconds".
std::string durationText(std::chrono::milliseconds window);

// "Downloaded file does not match the release: <path>."
std::string mismatchText(const std::string& relativeText);
