#include "account/login_worker.h"

#include "account/session.h"
#include "base/diagnostic_log.h"
#include "base/secret_text.h"
#include "ui/launcher_state.h"

#include <string>
#include <utility>

void runLoginWorker(std::unique_ptr<LoginRequest> request) noexcept {
    if (!request) return;
    try {
        AccountSession session;
        std::string error;
        const bool succeeded = login(request->serverUrl, request->accountName, request->password, session, &error);
        wipeSecret(request->password);

        if (succeeded) {
            finishLogin(std::move(session.sessionToken), std::move(session.accountName));
        } else {
            failLogin(std::move(error));
        }
    } catch (...) {
        // Still let the form come back instead of staying "connecting".
        wipeSecret(request->password);
        logError("login", "The login stopped by an exception.");
        try {
            stopConnecting();
        } catch (...) {
            logError("login", "The login form could not be given back.");
        }
    }
    request.reset();
}
