// update LAUNCHER_DIR ACCOUNT: the launcher's whole path to a ready game
// without its window, for publishers' smoke tests. Reads the password from
// standard input (one line), runs the release check, logs the account in,
// and runs the update when one is offered, printing every status change as
// `check` does. Exit 0 only when the game ends ready.
//
// The older form update LAUNCHER_DIR ACCOUNT PASSWORD still works for
// scripts, with a warning: a command line is readable by every process.

#include "account/local_settings.h"
#include "account/session.h"
#include "base/secret_text.h"
#include "base/utf8_paths.h"
#include "delivery/release_check.h"
#include "tools/toolkit/status_printer.h"
#include "tools/toolkit/toolkit.h"
#include "ui/launcher_state.h"
#include "update/folder_work_lock.h"
#include "update/update_worker.h"

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace {

// Longest password taken from standard input; the buffer never grows past
// it, so no copy is left behind in memory released by a reallocation.
constexpr std::size_t kMaxPasswordBytes = 1024;

// The command's one copy of the password, wiped on every way out.
struct Password {
    std::string text;
    Password() = default;
    ~Password() { wipeSecret(text); }
    Password(const Password&) = delete;
    Password& operator=(const Password&) = delete;
};

// One line of standard input, without its line end. A console does not echo
// what is typed.
bool readPasswordLine(std::string& password) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        toolkit::printError("No password on standard input.\n");
        return false;
    }
    DWORD consoleMode = 0;
    const bool console = GetConsoleMode(input, &consoleMode) != 0;
    if (console) {
        toolkit::printError("Password: ");
        SetConsoleMode(input, consoleMode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    }

    password.clear();
    password.reserve(kMaxPasswordBytes + 1);
    bool anything = false;
    bool tooLong = false;
    for (;;) {
        char byte = 0;
        DWORD read = 0;
        if (!ReadFile(input, &byte, 1, &read, nullptr) || read == 0) break;
        anything = true;
        if (byte == '\n') break;
        if (password.size() == kMaxPasswordBytes) {
            tooLong = true;  // read on to the line end, keep nothing more
            continue;
        }
        password.push_back(byte);
    }
    if (!password.empty() && password.back() == '\r') {
        password.back() = '\0';
        password.pop_back();
    }

    if (console) {
        SetConsoleMode(input, consoleMode);
        toolkit::printError("\n");
    }
    if (!anything) {
        toolkit::printError("No password on standard input.\n");
        return false;
    }
    if (tooLong) {
        wipeSecret(password);
        toolkit::printError("The password on standard input is longer than 1024 bytes.\n");
        return false;
    }
    return true;
}

LauncherPhase currentPhase() { return copyLauncherState().phase; }

int updateCommand(const std::vector<std::string>& args) {
    if (args.size() != 2 && args.size() != 3) {
        toolkit::printError("usage: TinderhallowTool update LAUNCHER_DIR ACCOUNT   (the password on standard input)\n");
        return 2;
    }
    Password password;
    if (args.size() == 3) {
        toolkit::printError(
            "Warning: a password on the command line can be read by every process on this machine; "
            "give it on standard input instead.\n");
        password.text = args[2];
    } else if (!readPasswordLine(password.text)) {
        return 2;
    }

    const std::filesystem::path launcherDir = pathFromUtf8(args[0]);
    const std::string serverUrl = loadServerUrl(launcherDir);
    setLauncherDir(launcherDir);
    setServerUrl(serverUrl);
    // Held from the check to the end of the update: the plan stays true.
    FolderWorkLock workLock;
    std::string lockError;
    if (!workLock.acquire(launcherDir, &lockError)) {
        toolkit::printError(lockError + "\n");
        return 1;
    }

    toolkit::startPrintingStatus();
    runReleaseCheck();

    AccountSession session;
    std::string error;
    const bool signedIn = login(serverUrl, args[1], password.text, session, &error);
    wipeSecret(password.text);
    if (!signedIn) {
        toolkit::stopPrintingStatus();
        toolkit::printError(error + "\n");
        return 1;
    }
    finishLogin(session.sessionToken, session.accountName);

    if (currentPhase() == LauncherPhase::UpdateAvailable) runUpdateWorker();
    toolkit::stopPrintingStatus();
    return currentPhase() == LauncherPhase::Ready ? 0 : 1;
}

}  // namespace

TOOLKIT_COMMAND("update", "LAUNCHER_DIR ACCOUNT   (the password on standard input)", updateCommand);
