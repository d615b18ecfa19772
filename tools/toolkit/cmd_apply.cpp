// apply INSTALL_DIR SOURCE_DIR [--allow-older]: installs the release in
// SOURCE_DIR the way the launcher's update does, printing every progress
// report as it happens. A release older than the folder's floor is refused
// unless --allow-older is given; then the floor comes down to it.

#include "base/install_files.h"
#include "base/utf8_paths.h"
#include "tools/toolkit/toolkit.h"
#include "update/folder_work_lock.h"
#include "update/inspection.h"
#include "update/manifest.h"
#include "update/release_floor.h"
#include "update/update_transaction.h"

#include <charconv>
#include <string>
#include <vector>

namespace {

std::string fractionText(float fraction) {
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, fraction);
    return std::string(buffer, result.ptr);
}

int applyCommand(const std::vector<std::string>& args) {
    const bool allowOlder = args.size() == 3 && args[2] == "--allow-older";
    if (args.size() != 2 && !allowOlder) {
        toolkit::printError("usage: TinderhallowTool apply INSTALL_DIR SOURCE_DIR [--allow-older]\n");
        return 2;
    }
    const std::filesystem::path installDir = pathFromUtf8(args[0]);
    const std::filesystem::path sourceDir = pathFromUtf8(args[1]);
    std::string error;
    // A first install makes its folder; the lock file lives in it.
    std::error_code folderError;
    std::filesystem::create_directories(installDir, folderError);
    FolderWorkLock workLock;
    if (!workLock.acquire(installDir, &error)) {
        toolkit::printError(error + "\n");
        return 1;
    }
    ReleaseManifest manifest;
    if (!loadReleaseManifest(sourceDir / kReleaseListName, manifest, &error)) {
        toolkit::printError(error + "\n");
        return 1;
    }
    ReleaseManifest installed;
    const bool haveInstalled = loadReleaseManifest(installDir / kReleaseListName, installed);
    const ReleaseFloor floor = effectiveReleaseFloor(installDir, haveInstalled ? &installed : nullptr);
    if (manifest.releaseSequence < floor.sequence && !allowOlder) {
        toolkit::printError(olderReleaseMessage(manifest, floor) +
                            "\nGive --allow-older to install it all the same.\n");
        return 1;
    }

    UpdatePlan plan;
    if (!inspectInstallation(installDir, manifest, haveInstalled ? &installed : nullptr, plan, &error)) {
        toolkit::printError(error + "\n");
        return 1;
    }

    // One write per report, so a reader sees each line as it happens.
    auto progress = [](float fraction, const std::string& detail) {
        toolkit::printOut(fractionText(fraction) + " " + detail + "\n");
    };
    if (!applyUpdate(installDir, sourceDir, manifest, plan, progress, &error)) {
        toolkit::printError(error + "\n");
        return 1;
    }
    if (allowOlder && manifest.releaseSequence < floor.sequence && !resetReleaseFloor(installDir, manifest, &error)) {
        toolkit::printError(error + "\n");
        return 1;
    }
    return 0;
}

}  // namespace

TOOLKIT_COMMAND("apply", "INSTALL_DIR SOURCE_DIR [--allow-older]", applyCommand);
