#include "account/login_worker.h"

#include "account/session.h"
#include "base/secret_text.h"
#include "ui/launcher_state.h"

#include <string>
#include <utility>

void runLoginWorker(std::unique_ptr<LoginRequest> request) noexcept {
    if (!request) return;
    const HWND window = request->window;
    bool succeeded = false;
    try {
        AccountSession session;
        std::string error;
        succeeded = login(request->serverUrl, request->accountName, request->password, session, &error);
        wipeSecret(request->password);

        if (succeeded) {
            finishLogin(std::move(session.sessionToken), std::move(session.accountName));
        } else {
            failLogin(std::move(error));
        }
    } catch (...) {
        // Still let the form come back instead of staying "connecting".
        wipeSecret(request->password);
        succeeded = false;
        try {
            stopConnecting();
        } catch (...) {}
    }
    PostMessageW(window, LoginFinishedMessage, succeeded ? 1 : 0, 0);
    request.reset();
}
