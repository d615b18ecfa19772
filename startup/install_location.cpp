#include "startup/install_location.h"

#include "base/folder_identity.h"
#include "update/windows_names.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cwchar>
#include <fstream>
#include <system_error>

namespace {

// One COM interface pointer, released once.
template <typename Interface>
class ComRef {
public:
    ComRef() = default;
    ~ComRef() {
        if (pointer_ != nullptr) pointer_->Release();
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    Interface* operator->() const { return pointer_; }
    Interface* get() const { return pointer_; }
    void** out() { return reinterpret_cast<void**>(&pointer_); }

private:
    Interface* pointer_ = nullptr;
};

// COM for this thread; uninitialised again whenever the call succeeded
// (S_FALSE, "already initialised", also needs its matching uninitialise).
class ComApartment {
public:
    ComApartment() : initialised_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~ComApartment() {
        if (initialised_) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool initialised_;
};

// The whole value, or nothing when the variable is unset (or empty).
bool readEnvironment(const wchar_t* name, std::wstring& value) {
    std::wstring buffer(2047, L'\0');
    DWORD count = GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (count >= buffer.size()) {
        // Too long for the first buffer: count is the size needed.
        buffer.assign(count, L'\0');
        count = GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (count >= buffer.size()) count = 0;
    }
    if (count == 0) return false;
    buffer.resize(count);
    value = std::move(buffer);
    return true;
}

// TINDERHALLOW_NO_SHORTCUT defined with any value, the empty one included.
bool shortcutsSuppressed() {
    SetLastError(ERROR_SUCCESS);
    return GetEnvironmentVariableW(L"TINDERHALLOW_NO_SHORTCUT", nullptr, 0) > 0 ||
           GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

}  // namespace

std::filesystem::path moduleFilePath() {
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(length < buffer.size() ? length : buffer.size());
    return std::filesystem::path(buffer);
}

std::filesystem::path moduleDirectory() { return moduleFilePath().parent_path(); }

std::filesystem::path knownFolderPath(REFGUID id) {
    // The shell's text is freed with CoTaskMemFree.
    PWSTR text = nullptr;
    std::filesystem::path folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &text)) && text != nullptr) folder = text;
    CoTaskMemFree(text);
    return folder;
}

std::filesystem::path resolveInstallDir() {
    std::wstring overrideDir;
    if (readEnvironment(L"TINDERHALLOW_INSTALL_DIR", overrideDir)) return std::filesystem::path(overrideDir);

    std::wstring drive;
    if (!readEnvironment(L"SystemDrive", drive)) drive = L"C:";
    const std::filesystem::path candidate = std::filesystem::path(drive + L"\\Games") / L"Tinderhallow";
    if (isWritableDir(candidate)) return candidate;

    const std::filesystem::path localAppData = knownFolderPath(FOLDERID_LocalAppData);
    if (!localAppData.empty()) return localAppData / L"Tinderhallow";
    return candidate;
}

bool isWritableDir(const std::filesystem::path& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return false;
    const std::filesystem::path probe = dir / L".write_test";
    {
        std::ofstream out(probe, std::ios::out | std::ios::trunc);
        if (!out.is_open()) return false;
    }
    std::filesystem::remove(probe, ec);
    return true;
}

bool sameDirectory(const std::filesystem::path& a, const std::filesystem::path& b) {
    // Both there: the same folder (or file) however each is named; the
    // spelling decides only for what does not exist yet.
    EntryIdentity identityA;
    EntryIdentity identityB;
    if (readEntryIdentity(a, identityA) && readEntryIdentity(b, identityB)) return identityA == identityB;
    std::error_code ec;
    std::wstring first = std::filesystem::weakly_canonical(a, ec).wstring();
    if (ec) first.clear();
    std::wstring second = std::filesystem::weakly_canonical(b, ec).wstring();
    if (ec) second.clear();
    return sameNameIgnoringCase(first, second);
}

void writeFileIfMissing(const std::filesystem::path& path, const std::string& text) {
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::status(path, ec))) return;
    bool written = false;
    {
        std::ofstream out(path, std::ios::out | std::ios::trunc);
        if (!out.is_open()) return;
        out << text << '\n';
        out.close();
        written = !out.fail();
    }
    // A settings file cut short would be read as a wrong setting.
    if (!written) std::filesystem::remove(path, ec);
}

bool writeShellLink(const std::filesystem::path& linkPath, const std::filesystem::path& target,
                    const std::filesystem::path& workingDir) {
    ComApartment apartment;
    ComRef<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.out())))
        return false;
    link->SetPath(target.c_str());
    link->SetWorkingDirectory(workingDir.c_str());
    link->SetIconLocation(target.c_str(), 0);
    link->SetDescription(L"Tinderhallow");
    ComRef<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.out()))) return false;
    return SUCCEEDED(file->Save(linkPath.c_str(), TRUE));
}

std::filesystem::path shellLinkTarget(const std::filesystem::path& linkPath) {
    ComApartment apartment;
    ComRef<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.out())))
        return {};
    ComRef<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.out())) || FAILED(file->Load(linkPath.c_str(), STGM_READ)))
        return {};
    std::wstring target(32768, L'\0');
    if (link->GetPath(target.data(), static_cast<int>(target.size()), nullptr, SLGP_RAWPATH) != S_OK) return {};
    target.resize(wcsnlen(target.c_str(), target.size()));
    return std::filesystem::path(target);
}

std::filesystem::path desktopShortcutPath() {
    const std::filesystem::path desktop = knownFolderPath(FOLDERID_Desktop);
    return desktop.empty() ? desktop : desktop / L"Tinderhallow.lnk";
}

std::filesystem::path startMenuShortcutPath() {
    const std::filesystem::path programs = knownFolderPath(FOLDERID_Programs);
    return programs.empty() ? programs : programs / L"Tinderhallow.lnk";
}

void createDesktopShortcut(const std::filesystem::path& target, const std::filesystem::path& workingDir) {
    if (shortcutsSuppressed()) return;
    const std::filesystem::path link = desktopShortcutPath();
    if (!link.empty()) (void)writeShellLink(link, target, workingDir);
}

void createStartMenuShortcut(const std::filesystem::path& target, const std::filesystem::path& workingDir) {
    if (shortcutsSuppressed()) return;
    const std::filesystem::path link = startMenuShortcutPath();
    if (!link.empty()) (void)writeShellLink(link, target, workingDir);
}
