#include "update/release_floor.h"

#include "base/handles.h"
#include "base/utf8_paths.h"
#include "base/windows_error.h"

#include <windows.h>

#include <charconv>
#include <string_view>

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kHeader = "tinderhallow-release-floor 1\n";
// A release id is a folder name: the record is never near this size.
constexpr DWORD kMaxRecordBytes = 4096;

bool readRecord(const fs::path& path, std::string& text) {
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    text.resize(kMaxRecordBytes + 1);
    DWORD got = 0;
    if (!ReadFile(file.get(), text.data(), kMaxRecordBytes + 1, &got, nullptr) || got > kMaxRecordBytes) return false;
    text.resize(got);
    return true;
}

bool parseRecord(std::string_view text, ReleaseFloor& floor) {
    if (text.substr(0, kHeader.size()) != kHeader || text.empty() || text.back() != '\n') return false;
    text.remove_prefix(kHeader.size());
    text.remove_suffix(1);
    const std::size_t space = text.find(' ');
    if (space == std::string_view::npos || space == 0) return false;
    const std::string_view number = text.substr(0, space);
    const std::string_view id = text.substr(space + 1);
    for (char c : number) {
        if (c < '0' || c > '9') return false;
    }
    for (char c : id) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    }
    std::int32_t sequence = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), sequence);
    if (ec != std::errc() || end != number.data() + number.size() || sequence < 1 || id.empty()) return false;
    floor.sequence = sequence;
    floor.releaseId.assign(id);
    return true;
}

bool writeRecord(const fs::path& installDir, const ReleaseManifest& release, std::string* error) {
    const fs::path target = installDir / kReleaseFloorName;
    fs::path temporary = target;
    temporary += L".new";
    std::string id = release.releaseId;
    // One line: a control character would end it (the transaction refuses such ids anyway).
    for (char& c : id) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    const std::string text = std::string(kHeader) + std::to_string(release.releaseSequence) + " " + id + "\n";
    DWORD code = ERROR_SUCCESS;
    {
        const FileHandle file(
            CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return appendWindowsError("Could not write " + pathToUtf8(temporary), error);
        DWORD written = 0;
        if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size()) {
            code = GetLastError();
            if (code == ERROR_SUCCESS) code = ERROR_WRITE_FAULT;
        } else if (!FlushFileBuffers(file.get())) {
            code = GetLastError();
        }
    }
    if (code == ERROR_SUCCESS &&
        !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        code = GetLastError();
    }
    if (code != ERROR_SUCCESS) {
        DeleteFileW(temporary.c_str());
        if (error) *error = withWindowsError("Could not write " + pathToUtf8(target), code);
        return false;
    }
    if (error) error->clear();
    return true;
}

}  // namespace

ReleaseFloor loadReleaseFloor(const fs::path& installDir) {
    ReleaseFloor floor;
    try {
        std::string text;
        if (!readRecord(installDir / kReleaseFloorName, text) || !parseRecord(text, floor)) return {};
    } catch (const std::exception&) {
        return {};
    }
    return floor;
}

ReleaseFloor effectiveReleaseFloor(const fs::path& installDir, const ReleaseManifest* installed) {
    ReleaseFloor floor = loadReleaseFloor(installDir);
    if (installed != nullptr && installed->releaseSequence >= floor.sequence && installed->releaseSequence > 0) {
        floor.sequence = installed->releaseSequence;
        floor.releaseId = installed->releaseId;
    }
    return floor;
}

bool raiseReleaseFloor(const fs::path& installDir, const ReleaseManifest& release, std::string* error) {
    if (release.releaseSequence <= loadReleaseFloor(installDir).sequence) {
        if (error) error->clear();
        return true;
    }
    return writeRecord(installDir, release, error);
}

bool resetReleaseFloor(const fs::path& installDir, const ReleaseManifest& release, std::string* error) {
    if (release.releaseSequence < 1) {
        // No sequence to keep: an older record would refuse the release just installed.
        if (!DeleteFileW((installDir / kReleaseFloorName).c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
            return appendWindowsError("Could not remove " + pathToUtf8(installDir / kReleaseFloorName), error);
        if (error) error->clear();
        return true;
    }
    return writeRecord(installDir, release, error);
}

std::string olderReleaseMessage(const ReleaseManifest& offered, const ReleaseFloor& floor) {
    return "The patch source offers release " + offered.releaseId + ", older than the installed release " +
           floor.releaseId + ". Nothing was installed.";
}
