#pragma once
// The built-in addresses, chosen once for the whole program: they stand in
// for missing settings files.

inline constexpr const char* kDefaultPatchSource = "https://download.tinderhallow.example/test";
inline constexpr const char* kDefaultServerUrl = "https://play.tinderhallow.example";
inline constexpr const char* kWebsiteUrl = "https://www.tinderhallow.example";
