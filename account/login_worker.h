#pragma once
// The login worker: one login against the game service, its outcome handed
// to the launcher state and the window.

#include <windows.h>

#include <memory>
#include <string>

// What the window hands to the login worker; the worker owns it.
struct LoginRequest {
    HWND window = nullptr;
    std::string accountName;
    std::string password;
    std::string serverUrl;
};

// The login worker's thread body: logs in, wipes the password, stores the
// outcome in launcherState() in one locked section, then posts
// LoginFinishedMessage (wParam 1 on success, 0 on failure) to the request's
// window. Never throws.
void runLoginWorker(std::unique_ptr<LoginRequest> request) noexcept;
