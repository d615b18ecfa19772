#include "delivery/release_list.h"

#include "base/utf8_paths.h"

#include <windows.h>

#include <atomic>
#include <system_error>

namespace fs = std::filesystem;

std::string_view textOf(const std::vector<std::uint8_t>& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string releaseListTooLargeForLoader(const fs::path& path) {
    return "The release list " + pathToUtf8(path) + " is larger than 64 MiB.";
}

bool loadBoundedManifest(const fs::path& path, ReleaseManifest& manifest, std::vector<std::uint8_t>& bytes,
                         std::string* error) {
    switch (readBounded(path, kMaxReleaseListBytes, bytes)) {
        case BoundedRead::Unopened:
            if (error != nullptr) *error = "Could not open manifest: " + pathToUtf8(path);
            return false;
        case BoundedRead::TooLarge:
            if (error != nullptr) *error = releaseListTooLargeForLoader(path);
            return false;
        case BoundedRead::Read: break;
    }
    return parseReleaseManifest(textOf(bytes), path, manifest, error);
}

RunDownload::RunDownload(const fs::path& folder, const std::wstring& name) {
    static std::atomic<unsigned> runs{0};
    path_ = folder / (name + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++runs));
}

RunDownload::~RunDownload() {
    if (path_.empty()) return;
    std::error_code ec;
    fs::remove(path_, ec);
}

bool RunDownload::keepAs(const fs::path& destination, std::string* error) {
    if (!MoveFileExW(path_.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const std::error_code ec(static_cast<int>(GetLastError()), std::system_category());
        if (error != nullptr) *error = "Could not prepare download cache: " + ec.message();
        return false;
    }
    path_.clear();
    return true;
}
