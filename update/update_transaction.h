#pragma once
// Installs a release whose files are at hand in a local folder: stage and
// verify everything first, then swap files in one by one with rollback
// copies, remove obsolete files, and replace the installed manifest last.

#include "base/progress.h"
#include "update/file_identity.h"
#include "update/inspection.h"
#include "update/manifest.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The transaction. `manifest` supplies the release id (the staging folder's
// name) and the release's paths; `plan` says what to install and remove.
// `acceptedList`, when given, is installed as the new "update_manifest.json"
// instead of the source folder's copy: the bytes the release check accepted.
// Progress reports are "Staging <path>", "Applying <path>" and finally
// 1.0 "Update complete". Obsolete files in a new file's way (a folder that
// became a file or the reverse) are moved out of it first. Any failure after
// the first change to the installation undoes every change; when the undo
// cannot restore a file, the message says so and asks for REPAIR. True only
// when the release was installed completely (then `error` is cleared).
[[nodiscard]] bool applyUpdate(const std::filesystem::path& installDir, const std::filesystem::path& sourceDir,
                               const ReleaseManifest& manifest, const UpdatePlan& plan,
                               const InstallProgressCallback& progress = {}, std::string* error = nullptr,
                               const std::vector<std::uint8_t>* acceptedList = nullptr);

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

// Clears the read-only attribute of a file or folder and keeps the others.
// True when the path is now writable or does not exist.
[[nodiscard]] bool clearReadOnly(const std::filesystem::path& path);

// The most the transaction adds to the install folder's volume at any one
// moment: staged copies, rollback copies, each temporary copy until its
// rename, new files and the new manifest, less the old rollback copies it
// clears; sizes in whole 4 KiB clusters, from the plan and the files on disk.
[[nodiscard]] std::uint64_t updateSpaceNeeded(const std::filesystem::path& installDir,
                                              const std::filesystem::path& sourceDir, const UpdatePlan& plan);

// "Not enough disk space: the update needs <n> MB more on <drive>." when
// `available` bytes are fewer than `needed`; the drive is that of `installDir`.
[[nodiscard]] bool checkDiskSpace(const std::filesystem::path& installDir, std::uint64_t needed,
                                  std::uint64_t available, std::string* error = nullptr);
