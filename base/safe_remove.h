#pragma once
// Removing and writing below the launcher folder's work folders without
// reaching through a link: a junction or symbolic link found there is an
// entry of its own, removed itself and never entered, and a file that shares
// its content with another name (a hard link) is dropped, not written into.
// What such a link points at is not the launcher's to change.
//
// Windows removes a folder link itself. Wine cannot: it shows a Unix symbolic
// link as a reparse point, but its removal and rename calls act on the folder
// the link names. There a folder link stays where it is, and every operation
// here reports it instead of passing through it.

#include <windows.h>

#include <filesystem>
#include <string>

// A reparse point: a junction, a symbolic link or a mount point.
bool isLinkEntry(const std::filesystem::path& path);

// Removes `path` with everything below it; a link there or below is removed
// itself, never entered. True when nothing is left (nothing there is no
// error); on failure `error` names what stayed and why.
[[nodiscard]] bool removeTree(const std::filesystem::path& path, std::string* error = nullptr);

// Removes every link among the folders from below `root` down to `path`
// (both included but `root`), so that what is then created at `path` lands
// below `root`. False, naming the link, when one cannot be removed.
[[nodiscard]] bool removeLinksOnPath(const std::filesystem::path& root, const std::filesystem::path& path,
                                     std::string* error = nullptr);

// True when nothing below `folder` is a link (nothing there at all included);
// otherwise false, naming the first link found.
[[nodiscard]] bool holdsNoLink(const std::filesystem::path& folder, std::string* error = nullptr);

// True for a plain file with one name: not a link, no other hard link.
bool isSoleFile(HANDLE file);

// Deletes the name `path` when it is a link or the file has other names, so
// that the next create makes a file of its own. Nothing there is fine.
void dropSharedFile(const std::filesystem::path& path);
