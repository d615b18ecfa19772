#include "account/game_launch.h"

#include "account/game_arguments.h"
#include "account/session.h"
#include "base/diagnostic_log.h"
#include "base/product.h"
#include "base/utf8_paths.h"
#include "ui/launcher_state.h"

#include <shellapi.h>

#include <filesystem>

void launchGame(HWND owner) {
    try {
        const std::filesystem::path launcherDir = currentLauncherDir();
        const std::filesystem::path gamePath = launcherDir / kGameExeName;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(gamePath, ec)) {
            setStatus(LauncherPhase::Error, "Game executable missing", "Run update after configuring patch_source.txt",
                      0.0f);
            return;
        }

        const SessionCopy session = currentSession();
        const std::string& serverUrl = session.serverUrl;
        const std::string& sessionToken = session.sessionToken;

        std::wstring parameters;
        if (!sessionToken.empty()) {
            std::string ticket;
            SessionRefusal refusal = SessionRefusal::Other;
            if (requestTicket(serverUrl, sessionToken, ticket, nullptr, &refusal)) {
                parameters = L"--ticket " + ticketArgument(utf8ToWide(ticket));
            } else if (refusal == SessionRefusal::Expired) {
                signOut("Your login timed out. Please log in again.");
                return;
            }
        }

        const HINSTANCE result =
            ShellExecuteW(owner, L"open", gamePath.c_str(), parameters.empty() ? nullptr : parameters.c_str(),
                          launcherDir.c_str(), SW_SHOWNORMAL);
        const INT_PTR code = reinterpret_cast<INT_PTR>(result);
        // The parameters carry the ticket: only whether one was given is logged.
        logEvent(code > 32 ? LogLevel::Info : LogLevel::Warning, "game",
                 "Started " + pathToUtf8(gamePath) + (parameters.empty() ? " without" : " with") +
                     " a ticket; hand-over result " + std::to_string(static_cast<long long>(code)) + ".");
        if (code > 32) {
            requestWindowClose();
            return;
        }
        setStatus(LauncherPhase::Error, "Could not start game",
                  "Windows launch error " + std::to_string(static_cast<long long>(code)), 0.0f);
    } catch (...) {
        logError("game", "Starting the game stopped by an exception.");
        setStatus(LauncherPhase::Error, "Could not start game", "The launcher ran out of memory.", 0.0f);
    }
}
