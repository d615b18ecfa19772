#pragma once
// One writer process per launcher folder. The release check, the update and
// the patch notes of one launcher share the lock (they run side by side by
// design and write different files); another launcher or a toolkit command
// on the same folder waits a few seconds for it, then gives up.
//
// The lock is a byte-range lock (LockFileEx) on ".patch_lock" in the folder:
// unlike a named mutex it is not owned by a thread, it holds across sessions
// and on network shares, and the system releases it when a process dies.

#include <filesystem>
#include <string>

inline constexpr char kFolderBusyMessage[] =
    "Another Tinderhallow launcher or tool is working on this folder. Close it and retry.";

// Followed by the lock file's path and " cannot be opened as a file (Windows error N)."
inline constexpr char kFolderLockFailedMessage[] = "Could not lock the launcher folder: ";

// How long a second writer waits for the lock.
inline constexpr unsigned kFolderLockWaitMs = 5000;

// A share of this process's lock on one folder, given back by the destructor.
class FolderWorkLock {
public:
    FolderWorkLock() = default;
    ~FolderWorkLock();
    FolderWorkLock(const FolderWorkLock&) = delete;
    FolderWorkLock& operator=(const FolderWorkLock&) = delete;

    // Joins this process's lock on `folder`, or takes it from the system,
    // waiting up to kFolderLockWaitMs while another process holds it; then
    // fails with kFolderBusyMessage. A lock file that cannot be written (read-
    // only, or held without write sharing) is locked through a read handle;
    // anything else that cannot be opened as the lock file
    // (a folder of that name, a folder this account cannot write) fails with
    // kFolderLockFailedMessage: the work never goes on unlocked.
    [[nodiscard]] bool acquire(const std::filesystem::path& folder, std::string* error = nullptr);

    void release();

private:
    std::wstring key_;  // empty while nothing is held
};
