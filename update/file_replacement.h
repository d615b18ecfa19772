#pragma once
// Copying and replacing installed files the way the transaction does: a
// new copy is made beside its target and renamed onto it in one step, and
// read-only flags never stop an update nor survive a failed step changed.

#include "update/file_identity.h"

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Creates the folders above `destination`, then copies `source` over it.
// "Could not copy <source>: <system message>" on failure.
[[nodiscard]] bool copyFileCreatingFolders(const std::filesystem::path& source,
                                           const std::filesystem::path& destination, std::string* error = nullptr);

// Copies `source` to `target` + ".patch_new", then renames that onto `target`
// in one write-through step. A target held open without delete sharing (the
// running game) fails with "Could not replace <target> (Windows error N).
// Close the game and retry."; the temporary file never survives a failure.
// A read-only target loses the flag only when it is replaced. `source` is
// never moved or deleted. `placed`, when given, is the identity of the copy
// now at `target`, set only when that copy kept the identity it had when the
// copy ended: nothing wrote to it in between.
[[nodiscard]] bool replaceFile(const std::filesystem::path& source, const std::filesystem::path& target,
                               std::string* error = nullptr, std::optional<FileIdentity>* placed = nullptr);

// replaceFile from bytes in memory.
[[nodiscard]] bool replaceFileWithBytes(const std::vector<std::uint8_t>& bytes, const std::filesystem::path& target,
                                        std::string* error);

// Clears the read-only attribute of a file or folder and keeps the others.
// True when the path is now writable or does not exist.
[[nodiscard]] bool clearReadOnly(const std::filesystem::path& path);

// Unreadable is never taken as absence: the next step on the path (a copy,
// a rename) reports the real problem.
enum class EntryKind { Missing, File, Folder, Unreadable };

EntryKind entryKind(const std::filesystem::path& path);

// Removes a partial copy the transaction made itself.
void discardPartialFile(const std::filesystem::path& path);

// Deletes an installed file, read-only or not; a missing file is no error.
bool removeInstalledFile(const std::filesystem::path& path);
