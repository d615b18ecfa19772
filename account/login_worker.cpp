#include "account/login_worker.h"

#include "account/session.h"
#include "base/secret_text.h"
#include "ui/launcher_state.h"

#include <mutex>

void runLoginWorker(std::unique_ptr<LoginRequest> request) noexcept {
    if (!request) return;
    const HWND window = request->window;
    bool succeeded = false;
    try {
        AccountSession session;
        std::string error;
        succeeded = login(request->serverUrl, request->accountName, request->password, session, &error);
        wipeSecret(request->password);

        LauncherState& state = launcherState();
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            state.connecting = false;
            if (succeeded) {
                state.loggedIn = true;
                state.sessionToken = std::move(session.sessionToken);
                state.accountName = std::move(session.accountName);
                state.statusLine.clear();
            } else {
                state.statusLine = std::move(error);
            }
        }
    } catch (...) {
        // Still let the form come back instead of staying "connecting".
        wipeSecret(request->password);
        succeeded = false;
        try {
            LauncherState& state = launcherState();
            std::lock_guard<std::mutex> lock(state.mutex);
            state.connecting = false;
        } catch (...) {
        }
    }
    PostMessageW(window, LoginFinishedMessage, succeeded ? 1 : 0, 0);
    request.reset();
}
