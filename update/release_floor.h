#pragma once
// ".patch_floor" in the launcher folder: the highest release sequence ever
// accepted there, and that release's id. Releases with a lower sequence are
// refused even when the installed "update_manifest.json" is gone or damaged.
// A missing or damaged record is no floor of its own; the installed list
// still counts.
//
// Text, UTF-8, "\n" ends every line:
//   tinderhallow-release-floor 1
//   <sequence, decimal, 1 to 2147483647> <release id>

#include "update/manifest.h"

#include <cstdint>
#include <filesystem>
#include <string>

inline constexpr wchar_t kReleaseFloorName[] = L".patch_floor";

struct ReleaseFloor {
    std::int32_t sequence = 0;  // 0: no floor
    std::string releaseId;
};

// The record of `installDir`; sequence 0 when there is none or it is damaged.
ReleaseFloor loadReleaseFloor(const std::filesystem::path& installDir);

// The higher of the record and the installed release (when one loaded).
ReleaseFloor effectiveReleaseFloor(const std::filesystem::path& installDir, const ReleaseManifest* installed);

// Raises the record to `release`'s sequence; a lower or equal one leaves it.
// Written through a temporary file renamed over the old record.
[[nodiscard]] bool raiseReleaseFloor(const std::filesystem::path& installDir, const ReleaseManifest& release,
                                     std::string* error = nullptr);

// Sets the record to `release` even when that lowers it: support installing
// an older release on purpose.
[[nodiscard]] bool resetReleaseFloor(const std::filesystem::path& installDir, const ReleaseManifest& release,
                                     std::string* error = nullptr);

// "The patch source offers release <offered>, older than the installed
// release <floor>. Nothing was installed."
std::string olderReleaseMessage(const ReleaseManifest& offered, const ReleaseFloor& floor);
