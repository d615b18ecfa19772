// inspect INSTALL_DIR MANIFEST [OLDER_MANIFEST]: the plan an update of the
// installation would carry out.

#include "base/utf8_paths.h"
#include "tools/toolkit/toolkit.h"
#include "update/inspection.h"
#include "update/manifest.h"

#include <string>
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
    UpdatePlan plan;
    (void)inspectInstallation(pathFromUtf8(args[0]), manifest, args.size() == 3 ? &older : nullptr, plan);

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
