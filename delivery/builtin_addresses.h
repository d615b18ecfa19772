#pragma once
// The addresses built into the launcher, chosen once for the whole program.
// Settings files override the first two; nothing overrides the website.

#include <string_view>

// Default patch source: the test channel of the publisher's download host.
inline constexpr std::string_view defaultPatchSource = "https://download.tinderhallow.example/test";

// Default game service address.
inline constexpr std::string_view defaultGameServiceUrl = "https://play.tinderhallow.example";

// The website; "/community" and "/community/register" are opened below it.
inline constexpr std::string_view websiteUrl = "https://www.tinderhallow.example";
