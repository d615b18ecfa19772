#include "delivery/download_url.h"

#include "base/utf8_paths.h"

#include <algorithm>
#include <vector>

namespace {

wchar_t asciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// "/a/b/../c" becomes "/a/c"; the query is left as it is.
std::wstring withoutDotSegments(const std::wstring& target) {
    const std::size_t queryStart = target.find(L'?');
    const std::wstring path = target.substr(0, queryStart);
    const std::wstring query = queryStart == std::wstring::npos ? std::wstring() : target.substr(queryStart);
    std::vector<std::wstring> segments;
    std::size_t position = path.empty() || path[0] != L'/' ? 0 : 1;
    for (;;) {
        const std::size_t slash = path.find(L'/', position);
        const bool last = slash == std::wstring::npos;
        const std::wstring segment = path.substr(position, last ? std::wstring::npos : slash - position);
        if (segment == L"..") {
            if (!segments.empty()) segments.pop_back();
            if (last) segments.emplace_back();
        } else if (segment == L".") {
            if (last) segments.emplace_back();
        } else {
            segments.push_back(segment);
        }
        if (last) break;
        position = slash + 1;
    }
    std::wstring result;
    for (const std::wstring& segment : segments) result += L"/" + segment;
    if (result.empty()) result = L"/";
    return result + query;
}

}  // namespace

bool sameHostName(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](wchar_t x, wchar_t y) { return asciiLower(x) == asciiLower(y); });
}

bool isFollowedRedirect(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::optional<RequestTarget> crackAbsoluteUrl(const std::wstring& url) {
    std::optional<RequestTarget> target = crackHttpUrl(url);
    if (target) target->path = withoutDotSegments(target->path);
    return target;
}

std::optional<RequestTarget> redirectTarget(const RequestTarget& current, std::wstring location) {
    const std::size_t fragment = location.find(L'#');
    if (fragment != std::wstring::npos) location.erase(fragment);
    while (!location.empty() && (location.back() == L' ' || location.back() == L'\t')) location.pop_back();
    while (!location.empty() && (location.front() == L' ' || location.front() == L'\t')) location.erase(0, 1);
    if (location.empty()) return std::nullopt;

    if (location.starts_with(L"//")) return crackAbsoluteUrl((current.secure ? L"https:" : L"http:") + location);
    const std::size_t colon = location.find(L':');
    const std::size_t pathStart = location.find_first_of(L"/?");
    if (colon != std::wstring::npos && (pathStart == std::wstring::npos || colon < pathStart)) {
        return crackAbsoluteUrl(location);  // any scheme but http and https is refused there
    }

    RequestTarget next = current;
    const std::wstring currentPath = current.path.substr(0, current.path.find(L'?'));
    if (location[0] == L'/') {
        next.path = location;
    } else if (location[0] == L'?') {
        next.path = currentPath + location;
    } else {
        next.path = currentPath.substr(0, currentPath.rfind(L'/') + 1) + location;
    }
    next.path = withoutDotSegments(next.path);
    return next;
}

std::string targetUrl(const RequestTarget& target) {
    return std::string(target.secure ? "https://" : "http://") + wideToUtf8(target.host) + ":" +
           std::to_string(target.port) + wideToUtf8(target.path);
}

bool isHttpUrl(std::string_view text) {
    auto startsWith = [&](std::string_view prefix) {
        if (text.size() < prefix.size()) return false;
        for (std::size_t i = 0; i < prefix.size(); ++i) {
            char c = text[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != prefix[i]) return false;
        }
        return true;
    };
    return startsWith("http://") || startsWith("https://");
}

std::string percentEncodePath(std::string_view path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                           (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '/' || byte == '_' ||
                           byte == '~';
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0x0F];
        }
    }
    return out;
}
