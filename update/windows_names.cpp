#include "update/windows_names.h"

#include <windows.h>

#include <climits>
#include <system_error>

bool isReservedDeviceName(std::wstring_view name) {
    // Windows looks only at the part before the first dot, spaces at its end dropped.
    std::wstring_view stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ') stem.remove_suffix(1);
    std::wstring upper(stem);
    for (wchar_t& c : upper) {
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (upper == device) return true;
    }
    return upper.size() == 4 && (upper.compare(0, 3, L"COM") == 0 || upper.compare(0, 3, L"LPT") == 0) &&
           std::wstring_view(L"0123456789\u00B9\u00B2\u00B3").find(upper[3]) != std::wstring_view::npos;
}

bool isShortNameAlias(std::wstring_view name) {
    const std::size_t dot = name.find(L'.');
    const std::wstring_view stem = name.substr(0, dot);
    if (dot != std::wstring_view::npos) {
        const std::wstring_view extension = name.substr(dot + 1);
        if (extension.empty() || extension.size() > 3 || extension.find(L'.') != std::wstring_view::npos) return false;
    }
    const std::size_t tilde = stem.find(L'~');
    if (tilde == std::wstring_view::npos || stem.size() > 8) return false;
    // Windows: "GAMEDA~1", "GA12B4~1".
    const std::wstring_view digits = stem.substr(tilde + 1);
    if (tilde >= 1 && tilde <= 6 && !digits.empty() &&
        digits.find_first_not_of(L"0123456789") == std::wstring_view::npos)
        return true;
    // Wine: up to 4 characters, "~" up to the fifth, 3 characters of a hash ("TIND~XOK").
    if (tilde > 4 || stem.size() != 8) return false;
    const std::wstring_view hash = stem.substr(5);
    return stem.substr(tilde, 5 - tilde).find_first_not_of(L'~') == std::wstring_view::npos &&
           hash.find_first_not_of(L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz012345") ==
               std::wstring_view::npos;
}

bool sameNameIgnoringCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() > INT_MAX || b.size() > INT_MAX) return false;
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

std::wstring upperCaseName(std::wstring_view name) {
    if (name.empty() || name.size() > INT_MAX) return std::wstring(name);
    const int length = static_cast<int>(name.size());
    std::wstring upper(name.size(), L'\0');
    const int written = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.data(), length, upper.data(), length,
                                      nullptr, nullptr, 0);
    if (written != length) return std::wstring(name);
    return upper;
}

std::filesystem::path longPathName(const std::filesystem::path& path) {
    const std::wstring& text = path.native();
    DWORD size = GetLongPathNameW(text.c_str(), nullptr, 0);
    if (size == 0) return path;
    std::wstring buffer(size, L'\0');
    const DWORD length = GetLongPathNameW(text.c_str(), buffer.data(), size);
    if (length == 0 || length >= size) return path;
    buffer.resize(length);
    return std::filesystem::path(buffer);
}

std::wstring folderIdentity(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::path full = std::filesystem::absolute(folder, ec);
    if (ec) full = folder;
    std::wstring text = longPathName(full.lexically_normal()).native();
    for (wchar_t& c : text) {
        if (c == L'/') c = L'\\';
    }
    while (text.size() > 1 && (text.back() == L'\\' || text.back() == L'/')) text.pop_back();
    return upperCaseName(text);
}
