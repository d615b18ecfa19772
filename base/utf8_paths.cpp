#include "base/utf8_paths.h"

#include <windows.h>

#include <algorithm>

std::wstring utf8ToWide(std::string_view text) {
    if (text.empty() || text.size() > 0x7fffffff) return {};
    const int length = static_cast<int>(text.size());
    const int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) return {};
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), needed);
    return wide;
}

std::string wideToUtf8(std::wstring_view text) {
    if (text.empty() || text.size() > 0x7fffffff) return {};
    const int length = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string narrow(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, narrow.data(), needed, nullptr, nullptr);
    return narrow;
}

std::filesystem::path pathFromUtf8(std::string_view text) { return std::filesystem::path(utf8ToWide(text)); }

std::string pathToUtf8(const std::filesystem::path& path) { return wideToUtf8(path.native()); }

std::string genericPathUtf8(const std::filesystem::path& path) {
    std::wstring text = path.native();
    std::replace(text.begin(), text.end(), L'\\', L'/');
    return wideToUtf8(text);
}
