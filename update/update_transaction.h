#pragma once
// Installs a release whose files are at hand in a local folder: stage and
// verify everything first, then swap files in one by one with rollback
// copies, remove obsolete files, and replace the installed manifest last.

#include "base/progress.h"
#include "update/file_identity.h"
#include "update/file_replacement.h"  // copyFileCreatingFolders, replaceFile, clearReadOnly
#include "update/inspection.h"
#include "update/manifest.h"
#include "update/update_space.h"  // updateSpaceNeeded, checkDiskSpace

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
// `arrived`, when given, holds by plan position the identity each source file
// had when its digest, the plan's, was computed as it arrived: a staged file
// that still has it counts as verified without being read again; any other is
// read and hashed.
[[nodiscard]] bool applyUpdate(const std::filesystem::path& installDir, const std::filesystem::path& sourceDir,
                               const ReleaseManifest& manifest, const UpdatePlan& plan,
                               const InstallProgressCallback& progress = {}, std::string* error = nullptr,
                               const std::vector<std::uint8_t>* acceptedList = nullptr,
                               const ArrivedFiles* arrived = nullptr);
