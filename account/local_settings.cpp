#include "account/local_settings.h"

#include "base/diagnostic_log.h"
#include "base/install_files.h"
#include "base/product.h"
#include "base/utf8_paths.h"

#include <windows.h>

#include <fstream>

namespace {

constexpr const char* kAccountFile = "launcher_account.txt";

// The first line in text mode, up to the first line feed; "" when the file
// cannot be opened, is empty, or its first line is over the limit.
std::string readFirstLine(const std::filesystem::path& path) {
    try {
        std::ifstream in(path);
        if (!in) return {};
        std::string line;
        char c = 0;
        while (in.get(c) && c != '\n') {
            if (line.size() == kMaxSettingLineBytes) return {};
            line.push_back(c);
        }
        return line;
    } catch (...) {
        return {};
    }
}

}  // namespace

std::string trimSettingLine(std::string_view line) {
    while (!line.empty()) {
        const char last = line.back();
        if (last != '\r' && last != '\n' && last != ' ' && last != '\t') break;
        line.remove_suffix(1);
    }
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.size() >= 3 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
    return std::string(line);
}

std::string loadServerUrl(const std::filesystem::path& launcherDir) {
    const std::filesystem::path path = launcherDir / kServerUrlSettingName;
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (ec || status.type() == std::filesystem::file_type::not_found ||
        status.type() == std::filesystem::file_type::none) {
        return kDefaultServerUrl;
    }
    std::string url = trimSettingLine(readFirstLine(path));
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

std::string loadRememberedAccount(const std::filesystem::path& launcherDir) {
    std::string name = trimSettingLine(readFirstLine(launcherDir / kAccountFile));
    if (name.size() > kMaxRememberedAccountBytes) return {};
    return name;
}

void saveRememberedAccount(const std::filesystem::path& launcherDir, const std::string& accountName) {
    try {
        const std::filesystem::path path = launcherDir / kAccountFile;
        if (accountName.empty()) {
            // DeleteFileW, not remove(): a folder of that name is not ours to delete.
            DeleteFileW(path.c_str());
            return;
        }
        std::ofstream out(path, std::ios::out | std::ios::trunc);
        if (!out) {
            logWarning("settings", "The remembered account name could not be saved in " + pathToUtf8(path) + ".");
            return;
        }
        out << accountName << '\n';
    } catch (...) {
        logWarning("settings", "The remembered account name could not be saved.");
    }
}
