#include "delivery/download_headers.h"

#include "base/utf8_paths.h"

namespace {

bool parseNumber(std::string_view& text, std::uint64_t& value) {
    std::size_t used = 0;
    value = 0;
    while (used < text.size() && text[used] >= '0' && text[used] <= '9') {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[used] - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
        ++used;
    }
    text.remove_prefix(used);
    return used > 0;
}

}  // namespace

std::wstring queryHeader(HINTERNET request, DWORD header) {
    DWORD size = 0;
    WinHttpQueryHeaders(request, header, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0 || size > 16384) return {};
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(request, header, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return {};
    }
    text.resize(size / sizeof(wchar_t));
    return text;
}

std::string queryHeaderText(HINTERNET request, DWORD header) { return wideToUtf8(queryHeader(request, header)); }

std::uint64_t parseLength(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    std::uint64_t value = 0;
    return parseNumber(text, value) && text.empty() ? value : 0;
}

bool parseContentRange(std::string_view text, ContentRange& range) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (!text.starts_with("bytes ")) return false;
    text.remove_prefix(6);
    ContentRange read;
    if (!parseNumber(text, read.first) || !text.starts_with("-")) return false;
    text.remove_prefix(1);
    if (!parseNumber(text, read.last) || !text.starts_with("/")) return false;
    text.remove_prefix(1);
    if (!parseNumber(text, read.total) || !text.empty()) return false;
    if (read.first > read.last || read.last >= read.total) return false;
    range = read;
    return true;
}
