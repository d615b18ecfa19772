#pragma once
// The URLs of a download: the patch source's own forms, and where a
// redirect leads. Redirects are followed by the downloader, not by WinHTTP,
// so that the download token never leaves the patch source.

#include "base/http_url.h"

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

// True when the text starts with "http://" or "https://", ASCII case ignored.
bool isHttpUrl(std::string_view text);

// Percent-encodes every byte except ASCII letters, digits and "-._~/".
std::string percentEncodePath(std::string_view path);

// Where one request of a download goes: the patch source itself, or wherever
// a redirect led. Its path is sent exactly as it is.
using RequestTarget = HttpUrlParts;

// Host names compared as DNS does: ASCII letter case ignored.
bool sameHostName(const std::wstring& a, const std::wstring& b);

// 301, 302, 303, 307 and 308: the answers whose Location is followed.
bool isFollowedRedirect(DWORD status);

// An absolute HTTP(S) URL with its path's dot segments resolved; empty for
// any other scheme or a URL that cannot be cracked.
std::optional<RequestTarget> crackAbsoluteUrl(const std::wstring& url);

// The target of a Location header, resolved against the request that got it
// (absolute, scheme-relative, absolute-path or relative). Empty for a
// location that is missing or not HTTP(S).
std::optional<RequestTarget> redirectTarget(const RequestTarget& current, std::wstring location);

// "http(s)://host:port/path", for the resume record and messages.
std::string targetUrl(const RequestTarget& target);
