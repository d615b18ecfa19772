#pragma once
// Certificate and secure-connection failures of WinHTTP requests, told in one
// sentence that says what failed. Shared by the download client and the game
// service client, so that both name a refused certificate the same way.

#include <windows.h>
#include <winhttp.h>

#include <string>
#include <string_view>

// Collects into *flags the WINHTTP_CALLBACK_STATUS_FLAG_* bits of every secure
// failure that WinHTTP reports for `request` (Windows names the reason only
// there). *flags must outlive the request handle. Best effort: when the
// callback cannot be installed, the error code alone tells the reason.
void watchSecureFailures(HINTERNET request, DWORD* flags);

// When `code` (the Windows error of a failed send or receive) or `flags` tell
// of a certificate or secure-connection failure: stores the sentence for it,
// naming `server` ("patch server", "game server"), in *error (when given) and
// returns true. Otherwise returns false and changes nothing, not even the
// thread's last error.
bool describeSecureFailure(DWORD code, DWORD flags, std::string_view server, std::string* error);
