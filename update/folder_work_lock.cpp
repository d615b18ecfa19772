#include "update/folder_work_lock.h"

#include "base/handles.h"
#include "base/install_files.h"
#include "base/utf8_paths.h"
#include "base/windows_error.h"
#include "update/windows_names.h"

#include <windows.h>

#include <mutex>
#include <vector>

namespace {

struct HeldFolder {
    std::wstring key;
    FileHandle file;
    int users = 0;
};

// Every folder this process holds, guarded by one mutex. The mutex is also
// held while waiting for the system lock, so a second thread of this process
// waits for the first one's outcome instead of racing it.
std::mutex& heldMutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<HeldFolder>& heldFolders() {
    static std::vector<HeldFolder> folders;
    return folders;
}

bool lockByte(const FileHandle& file) {
    OVERLAPPED range{};
    return LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range) != FALSE;
}

// Opened by everyone with full sharing: only the byte lock excludes. A lock
// needs only read access, so a lock file that is read-only, or held open
// without write sharing (a backup, a scanner), still locks; a folder of that
// name does not open.
FileHandle openLockFile(const std::filesystem::path& lockPath, std::string* error) {
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    FileHandle file(CreateFileW(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_HIDDEN, nullptr));
    if (file) return file;
    DWORD code = GetLastError();
    if (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION) {
        file.reset(CreateFileW(lockPath.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
        if (file) return file;
        if (GetLastError() != ERROR_FILE_NOT_FOUND) code = GetLastError();
    }
    if (error != nullptr)
        *error =
            withWindowsError(kFolderLockFailedMessage + pathToUtf8(lockPath) + " cannot be opened as a file", code);
    return file;
}

void unlockByte(const FileHandle& file) {
    OVERLAPPED range{};
    UnlockFileEx(file.get(), 0, 1, 0, &range);
}

}  // namespace

FolderWorkLock::~FolderWorkLock() { release(); }

bool FolderWorkLock::acquire(const std::filesystem::path& folder, std::string* error) {
    release();
    std::wstring key = folderIdentity(folder);
    std::lock_guard<std::mutex> lock(heldMutex());
    std::vector<HeldFolder>& folders = heldFolders();
    for (HeldFolder& held : folders) {
        if (held.key == key) {
            ++held.users;
            key_ = std::move(key);
            return true;
        }
    }

    FileHandle file = openLockFile(folder / kWorkLockName, error);
    if (!file) return false;
    const ULONGLONG deadline = GetTickCount64() + kFolderLockWaitMs;
    while (!lockByte(file)) {
        if (GetTickCount64() >= deadline) {
            if (error != nullptr) *error = kFolderBusyMessage;
            return false;
        }
        Sleep(100);
    }
    folders.push_back({key, std::move(file), 1});
    key_ = std::move(key);
    return true;
}

void FolderWorkLock::release() {
    if (key_.empty()) return;
    std::lock_guard<std::mutex> lock(heldMutex());
    std::vector<HeldFolder>& folders = heldFolders();
    for (auto it = folders.begin(); it != folders.end(); ++it) {
        if (it->key != key_) continue;
        if (--it->users == 0) {
            unlockByte(it->file);
            folders.erase(it);
        }
        break;
    }
    key_.clear();
}
