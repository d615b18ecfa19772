#pragma once
// The proxy a WinHTTP connection goes through, shared by the download client
// and the game service client. WinHTTP's automatic proxy stays in charge when
// the user's Internet settings name no proxy of their own; otherwise those
// settings decide: an auto-config script, else the manual proxy with its
// bypass list. Wine 8's WinHTTP goes direct with the automatic proxy and
// accepts a request's WINHTTP_OPTION_PROXY but ignores it; it honours a
// session's named proxy, so a route is applied as a session of its own.

#include <windows.h>
#include <winhttp.h>

#include <string>

struct ProxyRoute {
    std::wstring proxy;   // WinHTTP's proxy list; empty for its automatic proxy
    std::wstring bypass;  // hosts reached directly ("<local>" for names without a dot)

    bool operator==(const ProxyRoute&) const = default;
};

// The route of a request to `url` (http or https) under the current user's
// Internet settings. Unreadable settings or a failed script leave the choice
// to WinHTTP's automatic proxy (or the manual proxy, when one is set).
ProxyRoute proxyRouteFor(const std::wstring& url);

// WinHttpOpen for `route`: its named proxy and bypass list, or WinHTTP's
// automatic proxy when it names none. Null on failure, as WinHttpOpen.
HINTERNET openSessionFor(const ProxyRoute& route, const wchar_t* userAgent);
