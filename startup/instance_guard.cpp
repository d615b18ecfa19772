#include "startup/instance_guard.h"

#include "base/folder_identity.h"
#include "base/handles.h"
#include "base/utf8_paths.h"
#include "update/file_hash.h"
#include "update/windows_names.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

// What the guard holds, read by other processes while the owner writes it.
struct GuardRecord {
    volatile LONG64 processId;
    volatile LONG64 window;
};

// One open handle on the guard object and its mapped record.
struct GuardMapping {
    KernelHandle mapping;
    MappedView view;

    GuardRecord& record() const { return *static_cast<GuardRecord*>(view.get()); }
};

enum class Opened { Created, Existing, Failed };

Opened openGuard(const std::wstring& name, std::unique_ptr<GuardMapping>& out) {
    auto guard = std::make_unique<GuardMapping>();
    const HANDLE mapping =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(GuardRecord), name.c_str());
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    guard->mapping.reset(mapping);
    if (!guard->mapping) return Opened::Failed;
    guard->view.reset(MapViewOfFile(guard->mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(GuardRecord)));
    if (!guard->view) return Opened::Failed;
    out = std::move(guard);
    return existed ? Opened::Existing : Opened::Created;
}

// This process's guard, the folder it was taken for and the window to record.
std::mutex guardMutex;
std::unique_ptr<GuardMapping> heldGuard;
std::filesystem::path guardedDir;
HWND launcherWindow = nullptr;

void writeOwner(GuardRecord& record) {
    InterlockedExchange64(&record.processId, static_cast<LONG64>(GetCurrentProcessId()));
    InterlockedExchange64(&record.window, static_cast<LONG64>(reinterpret_cast<INT_PTR>(launcherWindow)));
}

// The owner's window, when the record names one that its process still has.
HWND ownerWindow(GuardRecord& record) {
    const LONG64 processId = InterlockedCompareExchange64(&record.processId, 0, 0);
    const HWND window =
        reinterpret_cast<HWND>(static_cast<INT_PTR>(InterlockedCompareExchange64(&record.window, 0, 0)));
    if (window == nullptr || !IsWindow(window)) return nullptr;
    DWORD windowProcess = 0;
    GetWindowThreadProcessId(window, &windowProcess);
    return static_cast<LONG64>(windowProcess) == processId ? window : nullptr;
}

void bringToFront(HWND window) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    // This process was just started by the player and may pass the focus on.
    AllowSetForegroundWindow(processId);
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
}

}  // namespace

std::wstring instanceGuardName(const std::filesystem::path& launcherDir) {
    // The folder itself, however it is named (drive alias, short name, link);
    // its spelling only when it cannot be opened.
    EntryIdentity folder;
    const std::string identity = readEntryIdentity(launcherDir, folder)
                                     ? "folder " + std::to_string(folder.volumeSerial) + " " +
                                           std::to_string(folder.idHigh) + " " + std::to_string(folder.idLow)
                                     : wideToUtf8(folderIdentity(launcherDir));
    std::vector<std::uint8_t> digest;
    if (sha256Digest(std::vector<std::uint8_t>(identity.begin(), identity.end()), digest)) {
        return L"Local\\TinderhallowLauncher-" + utf8ToWide(digestToHex(digest.data(), digest.size()));
    }
    // Without a digest, the path itself: "\" is the one character a name cannot hold.
    std::wstring escaped = utf8ToWide(identity);
    for (wchar_t& c : escaped) {
        if (c == L'\\') c = L'/';
    }
    return L"Local\\TinderhallowLauncher-" + escaped;
}

bool takeInstanceGuard(const std::filesystem::path& launcherDir) {
    const std::wstring name = instanceGuardName(launcherDir);
    const ULONGLONG deadline = GetTickCount64() + kInstanceGuardWaitMs;
    for (;;) {
        std::unique_ptr<GuardMapping> guard;
        const Opened opened = openGuard(name, guard);
        if (opened == Opened::Failed) return true;  // no guard to be had: better a launcher than none
        if (opened == Opened::Created) {
            std::lock_guard<std::mutex> lock(guardMutex);
            writeOwner(guard->record());
            heldGuard = std::move(guard);
            guardedDir = launcherDir;
            return true;
        }
        if (HWND window = ownerWindow(guard->record())) {
            bringToFront(window);
            return false;
        }
        // The owner is starting or closing (a hand-over): let go and look again.
        guard.reset();
        if (GetTickCount64() >= deadline) return false;
        Sleep(100);
    }
}

void recordLauncherWindow(HWND window) {
    std::lock_guard<std::mutex> lock(guardMutex);
    launcherWindow = window;
    if (heldGuard) writeOwner(heldGuard->record());
}

void releaseInstanceGuard() {
    std::lock_guard<std::mutex> lock(guardMutex);
    if (!heldGuard) return;
    // Cleared first: a launcher that still has the object open sees no owner.
    InterlockedExchange64(&heldGuard->record().window, 0);
    InterlockedExchange64(&heldGuard->record().processId, 0);
    heldGuard.reset();
}

void retakeInstanceGuard() {
    std::lock_guard<std::mutex> lock(guardMutex);
    if (heldGuard || guardedDir.empty()) return;
    std::unique_ptr<GuardMapping> guard;
    if (openGuard(instanceGuardName(guardedDir), guard) != Opened::Created) return;
    writeOwner(guard->record());
    heldGuard = std::move(guard);
}
