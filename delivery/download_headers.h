#pragma once
// Reading an answer's head: header texts, Content-Length and Content-Range.

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>
#include <string_view>

// A 206 answer's "Content-Range: bytes <first>-<last>/<total>".
struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t total = 0;
};
// False for anything but that form with first <= last < total (an unknown
// total "*" included).
[[nodiscard]] bool parseContentRange(std::string_view text, ContentRange& range);

// One response header's text; empty when it is missing or implausibly long.
std::wstring queryHeader(HINTERNET request, DWORD header);
// The same as UTF-8.
std::string queryHeaderText(HINTERNET request, DWORD header);

// Content-Length as a number; 0 ("unknown") for anything that is not a
// plain decimal number that fits.
std::uint64_t parseLength(std::string_view text);
