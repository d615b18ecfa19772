#pragma once
// Passwords and tokens are overwritten as soon as they are no longer needed,
// so that no copy lingers in memory given back to the system.

#include <windows.h>

#include <string>

inline void wipeSecret(std::string& text) {
    if (!text.empty()) SecureZeroMemory(text.data(), text.size());
}
