#pragma once
// Where releases come from: the first line of "patch_source.txt" in the
// launcher folder, an HTTP(S) base URL or a release folder path.

#include <filesystem>
#include <string>
#include <string_view>

enum class PatchSourceKind { Remote, LocalFolder, None };

struct PatchSource {
    std::string text;  // as read, trimmed
    PatchSourceKind kind = PatchSourceKind::None;
};

// Remote when `isHttpUrl`, none when empty, a local folder otherwise.
PatchSource classifyPatchSource(std::string text);

// An HTTP source on this machine: "http://" and a host, as WinHTTP cracks
// it, of exactly "127.0.0.1" or "localhost" (case-sensitive). Fetched like
// any remote source, its releases unsigned.
bool isLocalTestServer(std::string_view sourceText);

// The trimmed first line of "patch_source.txt"; the built-in default only
// when the file does not exist or its status cannot be determined. Never
// fails: an unreadable file or a folder of that name gives an empty text.
std::string readPatchSource(const std::filesystem::path& launcherDir);

// The release folder of a local-folder source. The text is UTF-8. Absolute
// drive paths and network shares are used unchanged; everything else is
// joined to the launcher folder by the usual Windows rules.
std::filesystem::path resolveReleaseFolder(const std::filesystem::path& launcherDir, std::string_view sourceText);
