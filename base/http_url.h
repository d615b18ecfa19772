#pragma once
// An http or https URL taken apart by WinHTTP, as a request to it needs it.

#include <windows.h>
#include <winhttp.h>

#include <optional>
#include <string>

struct HttpUrlParts {
    bool secure = false;
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring path;  // path and query, starting with "/"
};

// Empty for anything but an http or https URL with a host.
std::optional<HttpUrlParts> crackHttpUrl(const std::wstring& url);
