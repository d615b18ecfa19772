#pragma once
// UTF-8 inside, UTF-16 at Windows calls. Manifest and settings texts are
// UTF-8, so they become native paths through UTF-8, never the code page.

#include <filesystem>
#include <string>
#include <string_view>

// UTF-8 to UTF-16; invalid sequences become U+FFFD. Empty in, empty out.
std::wstring utf8ToWide(std::string_view text);

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD. Never throws.
std::string wideToUtf8(std::wstring_view text);

// A native path from UTF-8 text.
std::filesystem::path pathFromUtf8(std::string_view text);

// The path as UTF-8 text, native separators kept.
std::string pathToUtf8(const std::filesystem::path& path);

// The path as UTF-8 text with "/" separators (for messages and URLs).
std::string genericPathUtf8(const std::filesystem::path& path);
