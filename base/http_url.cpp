#include "base/http_url.h"

std::optional<HttpUrlParts> crackHttpUrl(const std::wstring& url) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (url.empty() || !WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return std::nullopt;
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return std::nullopt;
    HttpUrlParts cracked;
    cracked.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    if (parts.lpszHostName != nullptr) cracked.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    if (cracked.host.empty()) return std::nullopt;
    cracked.port = parts.nPort;
    if (parts.lpszUrlPath != nullptr) cracked.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo != nullptr) cracked.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (cracked.path.empty() || cracked.path[0] != L'/') cracked.path.insert(0, L"/");
    return cracked;
}
