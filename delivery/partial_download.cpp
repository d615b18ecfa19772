#include "delivery/partial_download.h"

#include "base/safe_remove.h"
#include "base/whole_file.h"

#include <windows.h>

#include <string_view>

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kFirstLine = "Tinderhallow partial download";
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

}  // namespace

fs::path partialDownloadPath(const fs::path& destination) { return destination.native() + L".download"; }

fs::path resumeRecordPath(const fs::path& destination) { return destination.native() + L".download.resume"; }

bool readResumeRecord(const fs::path& path, ResumeRecord& record) {
    std::string bytes;
    if (readBounded(path, kMaxRecordBytes, bytes) != BoundedRead::Read) return false;
    std::string_view text = bytes;
    std::string_view first;
    ResumeRecord read;
    if (!takeLine(text, first) || first != kFirstLine || !takeField(text, "url", read.url) ||
        !takeField(text, "validator", read.validator) || !text.empty()) {
        return false;
    }
    record = std::move(read);
    return true;
}

bool writeResumeRecord(const fs::path& path, const ResumeRecord& record) {
    if (!usableValue(record.url) || !usableValue(record.validator)) return false;
    const std::string text = std::string(kFirstLine) + "\nurl " + record.url + "\nvalidator " + record.validator + "\n";
    dropSharedFile(path);  // a planted hard link or link is not written through
    return writeWholeFile(path, {text});
}

std::string resumeValidator(const std::string& etag, const std::string& lastModified) {
    // Only a strong ETag ("...", not W/"...") may be sent in If-Range.
    if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"' && usableValue(etag)) return etag;
    if (usableValue(lastModified)) return lastModified;
    return {};
}
