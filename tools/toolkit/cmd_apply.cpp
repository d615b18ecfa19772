// apply INSTALL_DIR SOURCE_DIR: installs the release in SOURCE_DIR the way
// the launcher's update does, printing every progress report as it happens.

#include "base/utf8_paths.h"
#include "tools/toolkit/toolkit.h"
#include "update/folder_work_lock.h"
#include "update/inspection.h"
#include "update/manifest.h"
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
    if (args.size() != 2) {
        toolkit::printError("usage: TinderhallowTool apply INSTALL_DIR SOURCE_DIR\n");
        return 2;
    }
    const std::filesystem::path installDir = pathFromUtf8(args[0]);
    const std::filesystem::path sourceDir = pathFromUtf8(args[1]);
    std::string error;
    FolderWorkLock workLock;
    if (!workLock.acquire(installDir, &error)) {
        toolkit::printError(error + "\n");
        return 1;
    }
    ReleaseManifest manifest;
    if (!loadReleaseManifest(sourceDir / L"update_manifest.json", manifest, &error)) {
        toolkit::printError(error + "\n");
        return 1;
    }
    ReleaseManifest installed;
    const bool haveInstalled = loadReleaseManifest(installDir / L"update_manifest.json", installed);

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
    return 0;
}

}  // namespace

TOOLKIT_COMMAND("apply", "INSTALL_DIR SOURCE_DIR", applyCommand);
