#pragma once
// The disk space an update needs on the install folder's volume.

#include "update/inspection.h"

#include <cstdint>
#include <filesystem>
#include <string>

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
