#include "base/safe_remove.h"

#include "base/utf8_paths.h"
#include "base/windows_error.h"

namespace fs = std::filesystem;

namespace {

bool fail(std::string* error, std::string message) {
    if (error != nullptr) *error = std::move(message);
    return false;
}

// "\\?\" form of an absolute path, so that deep paths are reached whatever
// the system's path length limit.
std::wstring longForm(const fs::path& path) {
    std::wstring text = fs::path(path).make_preferred().lexically_normal().native();
    if (!path.is_absolute() || text.rfind(L"\\\\?\\", 0) == 0) return text;
    if (text.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + text.substr(2);
    return L"\\\\?\\" + text;
}

bool isMissing(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// Wine's folder removal and rename follow a link to its folder (an empty one
// would be deleted, a full one moved): there a folder link is left alone.
bool removesFolderLinks() {
    static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return !wine;
}

bool linkStays(const fs::path& path, std::string* error) {
    return fail(error, pathToUtf8(path) +
                           " is a link to another folder, which the launcher does not enter. Remove the link and "
                           "retry.");
}

bool deleteFileEntry(const std::wstring& name, DWORD attributes, const fs::path& shown, std::string* error) {
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
        SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (DeleteFileW(name.c_str())) return true;
    const DWORD code = GetLastError();
    return isMissing(code) || fail(error, withWindowsError("Could not remove " + pathToUtf8(shown), code));
}

bool removeFolderEntry(const std::wstring& name, DWORD attributes, const fs::path& shown, std::string* error) {
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
        SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (RemoveDirectoryW(name.c_str())) return true;
    const DWORD code = GetLastError();
    return isMissing(code) || fail(error, withWindowsError("Could not remove " + pathToUtf8(shown), code));
}

// One entry whose attributes are known, without following it.
bool removeEntry(const fs::path& path, DWORD attributes, std::string* error) {
    const std::wstring name = longForm(path);
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        if (!folder) return deleteFileEntry(name, attributes, path, error);  // the link's own name
        if (!removesFolderLinks()) return linkStays(path, error);
        return removeFolderEntry(name, attributes, path, error);
    }
    if (!folder) return deleteFileEntry(name, attributes, path, error);

    bool ok = true;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileExW((name + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring child = found.cFileName;
            if (child == L"." || child == L"..") continue;
            // Every entry is tried: what can go, goes.
            std::string childError;
            if (!removeEntry(path / child, found.dwFileAttributes, &childError)) {
                if (ok) fail(error, childError);
                ok = false;
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return ok && removeFolderEntry(name, attributes, path, error);
}

}  // namespace

bool isLinkEntry(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(longForm(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool removeTree(const fs::path& path, std::string* error) {
    const DWORD attributes = GetFileAttributesW(longForm(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        return isMissing(code) || fail(error, withWindowsError("Could not remove " + pathToUtf8(path), code));
    }
    return removeEntry(path, attributes, error);
}

bool removeLinksOnPath(const fs::path& root, const fs::path& path, std::string* error) {
    const fs::path relative = path.lexically_relative(root);
    if (relative.empty() || *relative.begin() == L"..") return true;  // not below root: nothing of ours
    fs::path current = root;
    for (const fs::path& element : relative) {
        if (element.empty() || element == L".") continue;
        current /= element;
        const DWORD attributes = GetFileAttributesW(longForm(current).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return true;  // the rest is created fresh
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !removeEntry(current, attributes, error)) return false;
    }
    return true;
}

bool holdsNoLink(const fs::path& folder, std::string* error) {
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileExW((longForm(folder) + L"\\*").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) return true;
    bool none = true;
    do {
        const std::wstring child = found.cFileName;
        if (child == L"." || child == L"..") continue;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            none = linkStays(folder / child, error);
        } else if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            none = holdsNoLink(folder / child, error);
        }
    } while (none && FindNextFileW(search, &found));
    FindClose(search);
    return none;
}

bool isSoleFile(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    return file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
           info.nNumberOfLinks == 1;
}

void dropSharedFile(const fs::path& path) {
    const std::wstring name = longForm(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return;
    bool shared = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (!shared) {
        HANDLE file =
            CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE) return;
        shared = !isSoleFile(file);
        CloseHandle(file);
    }
    if (shared) DeleteFileW(name.c_str());
}
