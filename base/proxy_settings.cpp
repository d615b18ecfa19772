#include "base/proxy_settings.h"

#include "base/handles.h"

namespace {

// WinHttpGetIEProxyConfigForCurrentUser and WinHttpGetProxyForUrl hand out
// strings that the caller frees with GlobalFree.
std::wstring takeGlobalText(LPWSTR& text) {
    std::wstring copy = text != nullptr ? std::wstring(text) : std::wstring();
    if (text != nullptr) GlobalFree(text);
    text = nullptr;
    return copy;
}

}  // namespace

ProxyRoute proxyRouteFor(const std::wstring& url) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return {};
    const bool autoDetect = config.fAutoDetect != FALSE;
    const std::wstring script = takeGlobalText(config.lpszAutoConfigUrl);
    ProxyRoute manual{takeGlobalText(config.lpszProxy), takeGlobalText(config.lpszProxyBypass)};
    if (manual.proxy.empty()) manual.bypass.clear();

    // Without a proxy of the user's own, detection alone is WinHTTP's
    // automatic proxy: nothing to add.
    if (script.empty() && (!autoDetect || manual.proxy.empty())) return manual;

    // As Windows orders them: detection, then the script, then the manual proxy.
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (autoDetect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (!script.empty()) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = script.c_str();
    }
    options.fAutoLogonIfChallenged = TRUE;
    // One session for the whole process, so that Windows' cache of the script
    // and of detection serves every connection.
    static const WinHttpHandle session(
        WinHttpOpen(L"", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    WINHTTP_PROXY_INFO found{};
    if (!session || !WinHttpGetProxyForUrl(session.get(), url.c_str(), &options, &found)) return manual;
    ProxyRoute route{takeGlobalText(found.lpszProxy), takeGlobalText(found.lpszProxyBypass)};
    if (found.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || route.proxy.empty()) return {};
    return route;
}

HINTERNET openSessionFor(const ProxyRoute& route, const wchar_t* userAgent) {
    if (route.proxy.empty()) {
        return WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                           WINHTTP_NO_PROXY_BYPASS, 0);
    }
    return WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, route.proxy.c_str(),
                       route.bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : route.bypass.c_str(), 0);
}
