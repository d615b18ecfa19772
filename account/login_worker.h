#pragma once
// The login worker: one login against the game service, its outcome handed
// to the launcher state, where the window takes it up.

#include <memory>
#include <string>

// What the window hands to the login worker; the worker owns it.
struct LoginRequest {
    std::string accountName;
    std::string password;
    std::string serverUrl;
};

// The login worker's thread body: logs in, wipes the password, then stores
// the outcome in the launcher state in one locked section (finishLogin or
// failLogin). Never throws.
void runLoginWorker(std::unique_ptr<LoginRequest> request) noexcept;
