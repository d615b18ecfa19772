#include "delivery/partial_download.h"

#include "base/safe_remove.h"
#include "base/utf8_paths.h"
#include "base/whole_file.h"

#include <windows.h>
#include <winhttp.h>

#include <string_view>

namespace fs = std::filesystem;

namespace {

// The record before this one named the URL after redirects: it does not read.
constexpr std::string_view kFirstLine = "Tinderhallow partial download 2";
constexpr DWORD kMaxRecordBytes = 8192;

// A value is one header line's worth of printable text.
bool usableValue(std::string_view value) {
    if (value.empty() || value.size() > 2048) return false;
    for (const char c : value) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    }
    return true;
}

bool takeLine(std::string_view& text, std::string_view& line) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return false;
    line = text.substr(0, end);
    text.remove_prefix(end + 1);
    return true;
}

bool takeField(std::string_view& text, std::string_view name, std::string& value) {
    std::string_view line;
    if (!takeLine(text, line) || !line.starts_with(name) || line.size() <= name.size() || line[name.size()] != ' ') {
        return false;
    }
    line.remove_prefix(name.size() + 1);
    if (!usableValue(line)) return false;
    value.assign(line);
    return true;
}

// An HTTP date as 100 ns ticks; false when it is not one.
bool httpDateTicks(const std::string& text, std::uint64_t& ticks) {
    const std::wstring wide = utf8ToWide(text);
    SYSTEMTIME time{};
    FILETIME file{};
    if (text.empty() || !WinHttpTimeToSystemTime(wide.c_str(), &time) || !SystemTimeToFileTime(&time, &file)) {
        return false;
    }
    ticks = (static_cast<std::uint64_t>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
    return ticks != 0;
}

}  // namespace

fs::path partialDownloadPath(const fs::path& destination) { return destination.native() + L".download"; }

fs::path resumeRecordPath(const fs::path& destination) { return destination.native() + L".download.resume"; }

bool readResumeRecord(const fs::path& path, ResumeRecord& record) {
    std::string bytes;
    if (readBounded(path, kMaxRecordBytes, bytes) != BoundedRead::Read) return false;
    std::string_view text = bytes;
    std::string_view first;
    ResumeRecord read;
    if (!takeLine(text, first) || first != kFirstLine || !takeField(text, "request", read.url) ||
        !takeField(text, "validator", read.validator) || !text.empty()) {
        return false;
    }
    record = std::move(read);
    return true;
}

bool writeResumeRecord(const fs::path& path, const ResumeRecord& record) {
    if (!usableValue(record.url) || !usableValue(record.validator)) return false;
    const std::string text =
        std::string(kFirstLine) + "\nrequest " + record.url + "\nvalidator " + record.validator + "\n";
    dropSharedFile(path);  // a planted hard link or link is not written through
    return writeWholeFile(path, {text});
}

std::string resumeValidator(const std::string& etag, const std::string& lastModified, const std::string& date) {
    // Only a strong ETag ("...", not W/"...") may be sent in If-Range.
    if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"' && usableValue(etag)) return etag;
    // A weak ETag says the host's copies differ within what Last-Modified shows.
    if (!etag.empty() || !usableValue(lastModified)) return {};
    std::uint64_t modified = 0;
    std::uint64_t now = 0;
    constexpr std::uint64_t kSecond = 10'000'000;
    if (!httpDateTicks(lastModified, modified) || !httpDateTicks(date, now) || now < modified + kSecond) return {};
    return lastModified;
}
