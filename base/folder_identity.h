#pragma once
// Folders compared as the file system knows them, never by how they are
// spelled: a drive alias (subst), an 8.3 short name, a junction or symbolic
// link and letter case all name the same folder, which has one volume serial
// and one file id. Under Wine a drive alias is a link in dosdevices and a
// folder link a Unix symbolic link; both give the folder's own identity too.

#include <cstdint>
#include <filesystem>
#include <vector>

struct EntryIdentity {
    std::uint64_t volumeSerial = 0;
    std::uint64_t idLow = 0;
    std::uint64_t idHigh = 0;
    bool operator==(const EntryIdentity&) const = default;
};

// Of the folder (or file) `path` names, links followed. False when it cannot
// be opened.
[[nodiscard]] bool readEntryIdentity(const std::filesystem::path& path, EntryIdentity& identity);

// True when both paths open the same folder (or file); false when either
// cannot be opened.
bool sameEntry(const std::filesystem::path& a, const std::filesystem::path& b);

// The user's temporary folder, or empty.
std::filesystem::path tempFolder();

// Folders no installation may be, or hold, as the system spells them: the
// profile, the shell's known folders, the temporary folder and every drive's
// root. Removing one would take the player's own files or the system's with it.
std::vector<std::filesystem::path> protectedFolders();

// True when `folder` is, or holds, the user's profile, one of the shell's
// known folders (Documents, Desktop, Downloads, AppData, ProgramFiles,
// Windows, ...), the temporary folder or a drive root, however each is named.
bool isOrHoldsProtectedFolder(const std::filesystem::path& folder);
