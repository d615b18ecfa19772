// inspect INSTALL_DIR MANIFEST [OLDER_MANIFEST]: the plan an update of the
// installation would carry out. Every file is read; a launcher folder's
// record of its files (".patch_index") is made anew from what was read. A
// folder without one gets none: a game folder that publish_release.py turns
// into a release must not gain a file of the launcher's.

#include "base/utf8_paths.h"
#include "tools/toolkit/toolkit.h"
#include "update/folder_work_lock.h"
#include "update/inspection.h"
#include "update/install_index.h"
#include "update/manifest.h"

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

int inspectCommand(const std::vector<std::string>& args) {
    if (args.size() < 2 || args.size() > 3) {
        toolkit::printError("usage: TinderhallowTool inspect INSTALL_DIR MANIFEST [OLDER_MANIFEST]\n");
        return 2;
    }
    std::string error;
    ReleaseManifest manifest;
    if (!loadReleaseManifest(pathFromUtf8(args[1]), manifest, &error)) {
        toolkit::printError(error + "\n");
        return 1;
    }
    ReleaseManifest older;
    if (args.size() == 3 && !loadReleaseManifest(pathFromUtf8(args[2]), older, &error)) {
        toolkit::printError(error + "\n");
        return 1;
    }
    const std::filesystem::path installDir = pathFromUtf8(args[0]);
    const ReleaseManifest* olderManifest = args.size() == 3 ? &older : nullptr;
    UpdatePlan plan;
    std::error_code ec;
    // The record is written like a launcher writes it, under the folder's
    // lock; while a launcher holds that, the files are read all the same and
    // the record is left to it.
    FolderWorkLock workLock;
    std::string failure;
    const bool inspected = std::filesystem::exists(installDir / kInstallIndexName, ec) && workLock.acquire(installDir)
                               ? inspectRecordedInstallation(installDir, manifest, olderManifest, plan,
                                                             InstallRecordUse::Rebuild, &failure)
                               : inspectInstallation(installDir, manifest, olderManifest, plan, &failure);
    if (!inspected) {
        toolkit::printError(failure + "\n");
        return 1;
    }

    std::string text;
    for (const ManifestFile& file : plan.filesToFetch)
        text += "fetch " + std::to_string(file.size) + " " + genericPathUtf8(file.path) + "\n";
    for (const auto& path : plan.obsoletePaths) text += "obsolete " + genericPathUtf8(path) + "\n";
    text += "bytes " + std::to_string(plan.bytesToFetch) + "\n";
    toolkit::printOut(text);
    return 0;
}

}  // namespace

TOOLKIT_COMMAND("inspect", "INSTALL_DIR MANIFEST [OLDER_MANIFEST]", inspectCommand);
