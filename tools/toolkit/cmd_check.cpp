// check LAUNCHER_DIR [--full]: runs the launcher's release check for that
// folder and prints every status change as <phase>|<title>|<detail>|<progress>,
// then, when a release was published, its plan as `inspect` prints it, and
// "launcher SIZE PATH" when the release's launcher differs from the folder's
// (a launcher replacement is pending; only the launcher itself does it). As at
// start-up, files unchanged since the folder's record read them are not read
// again; --full reads every file, as REPAIR does.

#include "base/utf8_paths.h"
#include "delivery/release_check.h"
#include "startup/launcher_file.h"
#include "tools/toolkit/status_printer.h"
#include "tools/toolkit/toolkit.h"
#include "ui/launcher_state.h"
#include "update/file_hash.h"
#include "update/folder_work_lock.h"

#include <string>
#include <vector>

namespace {

int checkCommand(const std::vector<std::string>& args) {
    const bool full = args.size() == 2 && args[1] == "--full";
    if (args.size() != 1 && !full) {
        toolkit::printError("usage: TinderhallowTool check LAUNCHER_DIR [--full]\n");
        return 2;
    }
    const std::filesystem::path launcherDir = pathFromUtf8(args[0]);
    setLauncherDir(launcherDir);
    FolderWorkLock workLock;
    std::string lockError;
    if (!workLock.acquire(launcherDir, &lockError)) {
        toolkit::printError(lockError + "\n");
        return 1;
    }

    toolkit::startPrintingStatus();
    runReleaseCheck(full ? ReleaseCheckKind::Full : ReleaseCheckKind::Quick);
    toolkit::stopPrintingStatus();

    std::string text;
    const LauncherState state = copyLauncherState();
    const PublishedRelease& release = state.pendingRelease;
    if (!release.sourceText.empty()) {
        for (const ManifestFile& file : release.filesToFetch)
            text += "fetch " + std::to_string(file.size) + " " + genericPathUtf8(file.path) + "\n";
        for (const auto& path : release.obsoletePaths) text += "obsolete " + genericPathUtf8(path) + "\n";
        text += "bytes " + std::to_string(release.bytesToFetch) + "\n";
    }
    for (const ManifestFile& file : release.manifest.files) {
        if (isLauncherEntry(state.launcherDir, file.path) &&
            sha256FileHex(state.launcherDir / file.path) != file.sha256)
            text += "launcher " + std::to_string(file.size) + " " + genericPathUtf8(file.path) + "\n";
    }
    toolkit::printOut(text);
    return state.phase == LauncherPhase::Error ? 1 : 0;
}

}  // namespace

TOOLKIT_COMMAND("check", "LAUNCHER_DIR [--full]", checkCommand);
