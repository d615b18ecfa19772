#include "update/file_identity.h"

#include <windows.h>
#include <winternl.h>

#include <vector>

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::uint64_t ticks(LARGE_INTEGER value) { return static_cast<std::uint64_t>(value.QuadPart); }

}  // namespace

bool readFileIdentity(const FileHandle& file, FileIdentity& identity) {
    FILE_STANDARD_INFO standard{};
    if (!file || !GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof standard) ||
        standard.Directory || standard.EndOfFile.QuadPart < 0)
        return false;
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic)) return false;
    // The file index of GetFileInformationByHandle without its volume query,
    // which costs a round trip to another process under Wine (about 150 us a
    // file); the volume is checked once per folder instead.
    IO_STATUS_BLOCK status{};
    FILE_INTERNAL_INFORMATION internal{};
    if (NtQueryInformationFile(file.get(), &status, &internal, sizeof internal, FileInternalInformation) < 0)
        return false;
    identity.size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
    identity.lastWriteTime = ticks(basic.LastWriteTime);
    identity.fileIndex = ticks(internal.IndexNumber);
    return true;
}

bool readFileIdentity(const std::filesystem::path& path, FileIdentity& identity) {
    const FileHandle file(
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    return readFileIdentity(file, identity);
}

bool listFileIdentities(const std::filesystem::path& folder, std::unordered_map<std::wstring, FileIdentity>& files) {
    files.clear();
    const FileHandle handle(CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) return false;
    // FileIdExtdDirectoryInfo is not implemented by Wine 8; this class's
    // 64-bit ids are the file numbers readFileIdentity reads.
    std::vector<std::uint64_t> buffer(64 * 1024 / sizeof(std::uint64_t));
    const DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t));
    FILE_INFO_BY_HANDLE_CLASS infoClass = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(handle.get(), infoClass, buffer.data(), bytes)) {
        infoClass = FileIdBothDirectoryInfo;
        const auto* start = reinterpret_cast<const unsigned char*>(buffer.data());
        for (std::size_t offset = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(start + offset);
            const DWORD skipped = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
            if ((entry->FileAttributes & skipped) == 0 && entry->EndOfFile.QuadPart >= 0) {
                files[std::wstring(entry->FileName, entry->FileNameLength / sizeof(WCHAR))] = {
                    static_cast<std::uint64_t>(entry->EndOfFile.QuadPart), ticks(entry->LastWriteTime),
                    static_cast<std::uint64_t>(entry->FileId.QuadPart)};
            }
            if (entry->NextEntryOffset == 0) break;
            offset += entry->NextEntryOffset;
        }
    }
    if (GetLastError() == ERROR_NO_MORE_FILES) return true;
    files.clear();
    return false;
}

bool readFolderIdentity(const std::filesystem::path& folder, FolderIdentity& identity) {
    const FileHandle handle(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle || !GetFileInformationByHandle(handle.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return false;
    identity.volumeSerial = info.dwVolumeSerialNumber;
    identity.folderIndex = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

std::uint64_t currentFileTime() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}
