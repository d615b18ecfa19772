#pragma once
// Installs a release whose files are at hand in a local folder: stage and
// verify everything first, then swap files in one by one with rollback
// copies, remove obsolete files, and replace the installed manifest last.

#include "ui/launcher_state.h"
#include "update/inspection.h"
#include "update/manifest.h"

#include <filesystem>
#include <string>

// The transaction. `manifest` supplies the release id (the staging folder's
// name) and the release's paths; `plan` says what to install and remove.
// Progress reports are "Staging <path>", "Applying <path>" and finally
// 1.0 "Update complete". A failed replacement undoes the files put in place
// so far; every other failure leaves what was done. True only when the
// release was installed completely (then `error` is cleared).
[[nodiscard]] bool applyUpdate(const std::filesystem::path& installDir, const std::filesystem::path& sourceDir,
                               const ReleaseManifest& manifest, const UpdatePlan& plan,
                               const InstallProgressCallback& progress = {}, std::string* error = nullptr);

// Creates the folders above `destination`, then copies `source` over it.
// "Could not copy <source>: <system message>" on failure.
[[nodiscard]] bool copyFileCreatingFolders(const std::filesystem::path& source,
                                           const std::filesystem::path& destination, std::string* error = nullptr);

// Copies `source` to `target` + ".patch_new", then renames that onto `target`
// in one write-through step. A target held open without delete sharing (the
// running game) fails with "Could not replace <target> (Windows error N).
// Close the game and retry."; the temporary file never survives a failure.
// `source` is never moved or deleted.
[[nodiscard]] bool replaceFile(const std::filesystem::path& source, const std::filesystem::path& target,
                               std::string* error = nullptr);
