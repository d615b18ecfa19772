// manifest FILE: loads a release manifest the way the launcher does and
// lists what it holds, in the launcher's order.

#include "base/utf8_paths.h"
#include "tools/toolkit/toolkit.h"
#include "update/manifest.h"

#include <string>
#include <vector>

namespace {

int manifestCommand(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        toolkit::printError("usage: TinderhallowTool manifest FILE\n");
        return 2;
    }
    ReleaseManifest manifest;
    std::string error;
    if (!loadReleaseManifest(pathFromUtf8(args[0]), manifest, &error)) {
        toolkit::printError(error + "\n");
        return 1;
    }
    std::string text = "release " + manifest.releaseId + "\n";
    text += "schema " + std::to_string(manifest.schemaVersion) + "\n";
    text += "minimum-launcher " + std::to_string(manifest.minimumLauncherVersion) + "\n";
    text += "sequence " + std::to_string(manifest.releaseSequence) + "\n";
    for (const ManifestFile& file : manifest.files) {
        text += file.sha256 + " " + std::to_string(file.size) + " " + genericPathUtf8(file.path) + "\n";
    }
    toolkit::printOut(text);
    return 0;
}

}  // namespace

TOOLKIT_COMMAND("manifest", "FILE", manifestCommand);
