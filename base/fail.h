#pragma once
// How a failing operation hands its message to the caller's optional text.

#include <string>
#include <utility>

// Stores `text` in `*error` when the caller asked for it and returns false,
// so that a failure ends in one line: `return fail(error, "...");`.
inline bool fail(std::string* error, std::string text) {
    if (error != nullptr) *error = std::move(text);
    return false;
}
