#include "delivery/patch_source.h"

#include "base/install_files.h"
#include "base/product.h"
#include "base/utf8_paths.h"
#include "delivery/download_client.h"

#include <fstream>

namespace {

bool isTrimmedSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool isAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

wchar_t asciiUpper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool startsWithDrive(const std::wstring& text) { return text.size() >= 2 && isAsciiLetter(text[0]) && text[1] == L':'; }

}  // namespace

PatchSource classifyPatchSource(std::string text) {
    PatchSource source;
    if (text.empty()) {
        source.kind = PatchSourceKind::None;
    } else if (isHttpUrl(text)) {
        source.kind = PatchSourceKind::Remote;
    } else {
        source.kind = PatchSourceKind::LocalFolder;
    }
    source.text = std::move(text);
    return source;
}

bool isLocalTestServer(std::string_view sourceText) {
    // Decided by the host the download client will connect to, as WinHTTP
    // cracks it: "http://localhost.attacker.example" or
    // "http://127.0.0.1@attacker.example" merely begin like a loopback URL.
    if (!sourceText.starts_with("http://")) return false;
    const PatchDownloader downloader{std::string(sourceText)};
    return downloader.host() == L"127.0.0.1" || downloader.host() == L"localhost";
}

std::string readPatchSource(const std::filesystem::path& launcherDir) {
    try {
        const std::filesystem::path path = launcherDir / kPatchSourceSettingName;
        std::error_code ec;
        const std::filesystem::file_status status = std::filesystem::status(path, ec);
        if (ec || !std::filesystem::exists(status)) return kDefaultPatchSource;

        // Binary: the trim below removes a CR before the LF, and a stray
        // Ctrl-Z must not end the line early as text mode would.
        std::string line;
        std::ifstream in(path, std::ios::binary);
        if (in) std::getline(in, line);
        if (in.bad()) line.clear();

        std::size_t end = line.size();
        while (end > 0 && isTrimmedSpace(line[end - 1])) --end;
        std::size_t begin = 0;
        while (begin < end && isTrimmedSpace(line[begin])) ++begin;
        return line.substr(begin, end - begin);
    } catch (...) {
        // Only allocation can throw; no source is the safe answer.
        return {};
    }
}

std::filesystem::path resolveReleaseFolder(const std::filesystem::path& launcherDir, std::string_view sourceText) {
    const std::filesystem::path folder = pathFromUtf8(sourceText);
    const std::wstring& text = folder.native();
    if (startsWithDrive(text)) {
        if (text.size() >= 3 && isSeparator(text[2])) return folder;
        // Drive letters are case-insensitive: "c:maps" is below "C:\Games".
        const std::wstring& base = launcherDir.native();
        if (startsWithDrive(base) && asciiUpper(base[0]) == asciiUpper(text[0])) {
            const std::wstring below = text.substr(2);
            return below.empty() ? launcherDir : launcherDir / std::filesystem::path(below);
        }
        return launcherDir / folder;
    }
    // MinGW's std::filesystem knows only drive letters as root names, so a
    // share (\\server\share) is recognised by its two leading separators.
    if (text.size() >= 2 && isSeparator(text[0]) && isSeparator(text[1])) return folder;
    if (folder.has_root_name()) return folder;
    return launcherDir / folder;
}
