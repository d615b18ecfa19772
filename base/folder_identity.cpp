#include "base/folder_identity.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstring>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// An open handle, closed once.
class OpenEntry {
public:
    explicit OpenEntry(const fs::path& path)
        : handle_(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr)) {}
    ~OpenEntry() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    OpenEntry(const OpenEntry&) = delete;
    OpenEntry& operator=(const OpenEntry&) = delete;
    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

bool identityOf(HANDLE handle, EntryIdentity& identity) {
    // 128-bit ids (ReFS) where the system has them, else the 64-bit index.
    FILE_ID_INFO id{};
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
        identity.volumeSerial = id.VolumeSerialNumber;
        std::memcpy(&identity.idLow, id.FileId.Identifier, sizeof identity.idLow);
        std::memcpy(&identity.idHigh, id.FileId.Identifier + sizeof identity.idLow, sizeof identity.idHigh);
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) return false;
    identity.volumeSerial = info.dwVolumeSerialNumber;
    identity.idLow = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    identity.idHigh = 0;
    return true;
}

// The path the system resolved for an open entry (links and aliases gone),
// or empty.
fs::path finalPath(HANDLE handle) {
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= buffer.size()) return {};
    buffer.resize(length);
    // The plain form, whose parents are folders again.
    if (buffer.rfind(L"\\\\?\\UNC\\", 0) == 0) return fs::path(L"\\\\" + buffer.substr(8));
    if (buffer.rfind(L"\\\\?\\", 0) == 0) return fs::path(buffer.substr(4));
    return fs::path(buffer);
}

fs::path knownFolder(REFKNOWNFOLDERID id) {
    PWSTR text = nullptr;
    fs::path folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &text)) && text != nullptr) folder = text;
    CoTaskMemFree(text);
    return folder;
}

}  // namespace

fs::path tempFolder() {
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH) return {};
    return fs::path(std::wstring(buffer, length));
}

std::vector<fs::path> protectedFolders() {
    static const KNOWNFOLDERID* const ids[] = {
        &FOLDERID_Profile,         &FOLDERID_UserProfiles,    &FOLDERID_Public,       &FOLDERID_Desktop,
        &FOLDERID_Documents,       &FOLDERID_Downloads,       &FOLDERID_LocalAppData, &FOLDERID_RoamingAppData,
        &FOLDERID_LocalAppDataLow, &FOLDERID_ProgramData,     &FOLDERID_ProgramFiles, &FOLDERID_ProgramFilesX86,
        &FOLDERID_Windows,         &FOLDERID_System,          &FOLDERID_StartMenu,    &FOLDERID_Programs,
        &FOLDERID_Music,           &FOLDERID_Pictures,        &FOLDERID_Videos,       &FOLDERID_SavedGames,
        &FOLDERID_PublicDesktop,   &FOLDERID_PublicDocuments,
    };
    std::vector<fs::path> folders;
    for (const KNOWNFOLDERID* id : ids) folders.push_back(knownFolder(*id));
    folders.push_back(tempFolder());
    // Every drive's root: none is ever an installation, nor is what holds one.
    std::wstring drives(1024, L'\0');
    const DWORD length = GetLogicalDriveStringsW(static_cast<DWORD>(drives.size()), drives.data());
    if (length > 0 && length < drives.size()) {
        for (const wchar_t* root = drives.c_str(); *root != L'\0'; root += std::wcslen(root) + 1) {
            const UINT type = GetDriveTypeW(root);
            if (type == DRIVE_FIXED || type == DRIVE_REMOTE || type == DRIVE_RAMDISK) folders.emplace_back(root);
        }
    }
    return folders;
}

namespace {

// `folder` and every folder above it, by its spelling and by the path the
// system resolves for it.
void addWithParents(const fs::path& folder, std::vector<EntryIdentity>& identities) {
    if (folder.empty()) return;
    fs::path resolved;
    for (fs::path current = folder;; current = current.parent_path()) {
        const OpenEntry entry(current);
        EntryIdentity identity;
        if (entry && identityOf(entry.get(), identity)) {
            identities.push_back(identity);
            if (resolved.empty()) resolved = finalPath(entry.get());
        }
        if (!current.has_relative_path() || current.parent_path() == current) break;
    }
    for (fs::path current = resolved; !current.empty();) {
        const OpenEntry entry(current);
        EntryIdentity identity;
        if (entry && identityOf(entry.get(), identity)) identities.push_back(identity);
        if (!current.has_relative_path() || current.parent_path() == current) break;
        current = current.parent_path();
    }
}

}  // namespace

bool readEntryIdentity(const fs::path& path, EntryIdentity& identity) {
    const OpenEntry entry(path);
    return entry && identityOf(entry.get(), identity);
}

bool sameEntry(const fs::path& a, const fs::path& b) {
    EntryIdentity first;
    EntryIdentity second;
    return readEntryIdentity(a, first) && readEntryIdentity(b, second) && first == second;
}

bool isOrHoldsProtectedFolder(const fs::path& folder) {
    EntryIdentity candidate;
    if (!readEntryIdentity(folder, candidate)) return false;
    std::vector<EntryIdentity> kept;
    for (const fs::path& protectedFolder : protectedFolders()) addWithParents(protectedFolder, kept);
    for (const EntryIdentity& identity : kept) {
        if (identity == candidate) return true;
    }
    return false;
}
