#include "delivery/download_messages.h"

std::string sizeText(std::uint64_t bytes) {
    constexpr std::uint64_t kib = 1024;
    constexpr std::uint64_t mib = 1024 * 1024;
    if (bytes >= mib && bytes % mib == 0) return std::to_string(bytes / mib) + " MiB";
    if (bytes >= kib && bytes % kib == 0) return std::to_string(bytes / kib) + " KiB";
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

std::string tooLargeText(const std::string& relativeText, std::uint64_t limit) {
    return "Patch server sent more than " + sizeText(limit) + " for " + relativeText + ".";
}

std::string sizeMismatchText(const std::string& relativeText, std::uint64_t size) {
    return "Patch server sent " + relativeText + " with a size that does not match the release manifest (" +
           std::to_string(size) + " bytes).";
}

std::string durationText(std::chrono::milliseconds window) {
    const auto milliseconds = static_cast<long long>(window.count());
    if (milliseconds % 1000 != 0) return std::to_string(milliseconds) + " ms";
    const long long seconds = milliseconds / 1000;
    return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

std::string mismatchText(const std::string& relativeText) {
    return "Downloaded file does not match the release: " + relativeText + ".";
}
