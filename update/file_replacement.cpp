#include "update/file_replacement.h"

#include "base/fail.h"
#include "base/install_files.h"
#include "base/whole_file.h"
#include "base/utf8_paths.h"
#include "base/windows_error.h"

namespace fs = std::filesystem;

namespace {

// Clears the read-only flag, given the attributes already read (invalid ones
// leave the next step to report the problem).
bool dropReadOnly(const fs::path& path, DWORD attributes) {
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) return true;
    const DWORD writable = attributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
    return SetFileAttributesW(path.c_str(), writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL) != 0;
}

// Puts back the attributes dropReadOnly changed before a step that failed,
// so a failure leaves the file as it was.
void restoreAttributes(const fs::path& path, DWORD attributes) {
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        SetFileAttributesW(path.c_str(), attributes);
}

// A replacement's second half: the new content, complete in `temporary`
// beside the target, renamed onto it in one write-through step. `placed`,
// when given, receives the identity of the file put in place, unless it
// changed between the copy and the rename.
bool moveIntoPlace(const fs::path& temporary, const fs::path& target, std::string* error,
                   std::optional<FileIdentity>* placed = nullptr) {
    if (placed) placed->reset();
    FileIdentity copied;
    const bool copiedKnown = placed != nullptr && readFileIdentity(temporary, copied);
    // Windows refuses a rename onto a read-only file (error 5); players and
    // antivirus programs set the flag on game files.
    const DWORD targetAttributes = GetFileAttributesW(target.c_str());
    if (!dropReadOnly(target, targetAttributes) ||
        !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD code = GetLastError();
        discardPartialFile(temporary);
        restoreAttributes(target, targetAttributes);
        return fail(error,
                    withWindowsError("Could not replace " + pathToUtf8(target), code) + " Close the game and retry.");
    }
    FileIdentity now;
    if (copiedKnown && readFileIdentity(target, now) && now == copied) *placed = now;
    if (error) error->clear();
    return true;
}

}  // namespace

EntryKind entryKind(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? EntryKind::Missing
                                                                            : EntryKind::Unreadable;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::Folder : EntryKind::File;
}

void discardPartialFile(const fs::path& path) { DeleteFileW(path.c_str()); }

bool removeInstalledFile(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return entryKind(path) == EntryKind::Missing;
    if (!dropReadOnly(path, attributes)) return false;
    if (DeleteFileW(path.c_str())) return true;
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;
    restoreAttributes(path, attributes);
    return false;
}

bool clearReadOnly(const fs::path& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return entryKind(path) == EntryKind::Missing;
    return dropReadOnly(path, attributes);
}

bool copyFileCreatingFolders(const fs::path& source, const fs::path& destination, std::string* error) {
    if (destination.has_parent_path()) {
        std::error_code ec;
        fs::create_directories(destination.parent_path(), ec);
        if (ec) return fail(error, "Could not copy " + pathToUtf8(source) + ": " + errorCodeMessage(ec));
    }
    // The kernel's copy, not a stream loop: it is the bulk of an update's time.
    if (!CopyFileExW(source.c_str(), destination.c_str(), nullptr, nullptr, nullptr, 0)) {
        const DWORD code = GetLastError();
        return fail(error, "Could not copy " + pathToUtf8(source) + ": " + windowsErrorMessage(code));
    }
    // The copy takes the source's attributes. A read-only copy (a release
    // folder on a disc or share) could not be cleared from staging or
    // rollback, nor replaced once installed.
    if (!clearReadOnly(destination)) {
        const DWORD code = GetLastError();
        return fail(error, "Could not copy " + pathToUtf8(source) + ": " + windowsErrorMessage(code));
    }
    if (error) error->clear();
    return true;
}

bool replaceFileWithBytes(const std::vector<std::uint8_t>& bytes, const fs::path& target, std::string* error) {
    fs::path temporary = target;
    temporary += kReplacementSuffix;
    WriteFailure failure;
    if (!writeWholeFile(temporary, {bytesOf(bytes)}, &failure)) {
        return fail(error, "Could not write " + pathToUtf8(temporary) + ": " + windowsErrorMessage(failure.code));
    }
    return moveIntoPlace(temporary, target, error);
}

bool replaceFile(const fs::path& source, const fs::path& target, std::string* error,
                 std::optional<FileIdentity>* placed) {
    fs::path temporary = target;
    temporary += kReplacementSuffix;
    if (placed) placed->reset();
    if (!copyFileCreatingFolders(source, temporary, error)) {
        discardPartialFile(temporary);
        return false;
    }
    return moveIntoPlace(temporary, target, error, placed);
}
