// update LAUNCHER_DIR ACCOUNT PASSWORD: the launcher's whole path to a ready
// game without its window, for publishers' smoke tests. Runs the release
// check, logs the account in, and runs the update when one is offered,
// printing every status change as `check` does. Exit 0 only when the game
// ends ready.

#include "account/local_settings.h"
#include "account/session.h"
#include "delivery/release_check.h"
#include "tools/toolkit/status_printer.h"
#include "tools/toolkit/toolkit.h"
#include "ui/launcher_state.h"
#include "update/update_worker.h"
#include "update/utf8_paths.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

LauncherPhase currentPhase() {
    LauncherState& state = launcherState();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.phase;
}

int updateCommand(const std::vector<std::string>& args) {
    if (args.size() != 3) {
        toolkit::printError("usage: TinderhallowTool update LAUNCHER_DIR ACCOUNT PASSWORD\n");
        return 2;
    }
    LauncherState& state = launcherState();
    const std::filesystem::path launcherDir = pathFromUtf8(args[0]);
    const std::string serverUrl = loadServerUrl(launcherDir);
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.launcherDir = launcherDir;
        state.serverUrl = serverUrl;
    }

    toolkit::startPrintingStatus();
    runReleaseCheck();
    toolkit::printCurrentStatus();

    std::string password = args[2];
    AccountSession session;
    std::string error;
    const bool signedIn = login(serverUrl, args[1], password, session, &error);
    SecureZeroMemory(password.data(), password.size());
    if (!signedIn) {
        toolkit::stopPrintingStatus();
        toolkit::printError(error + "\n");
        return 1;
    }
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.loggedIn = true;
        state.sessionToken = session.sessionToken;
        state.accountName = session.accountName;
    }

    if (currentPhase() == UpdateAvailable) {
        runUpdateWorker();
        toolkit::printCurrentStatus();
    }
    toolkit::stopPrintingStatus();
    return currentPhase() == Ready ? 0 : 1;
}

}  // namespace

TOOLKIT_COMMAND("update", "LAUNCHER_DIR ACCOUNT PASSWORD", updateCommand);
