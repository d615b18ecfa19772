#pragma once
// Windows error codes in words, told the same way by every part of the
// launcher: the system's own sentence, or the code in a fixed form.

#include <windows.h>

#include <string>
#include <string_view>
#include <system_error>

// The system's own sentence for a Windows error code (it ends in a period),
// without its line break; "Windows error N." when the system has none.
std::string windowsErrorMessage(DWORD code);

// The sentence for a file-system library error: the system's own for a
// Windows code; else the library's text, closed with a period as the
// system's sentences are.
std::string errorCodeMessage(const std::error_code& ec);

// `text` + " (Windows error N).", the form of a failed platform call's message.
std::string withWindowsError(std::string_view text, DWORD code);

// Stores withWindowsError(text, GetLastError()) when `error` is given and logs
// it with the system's sentence. Always returns false, so failures can end in
// `return appendWindowsError(...)`.
bool appendWindowsError(std::string_view text, std::string* error);
