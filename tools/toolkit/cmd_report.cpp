// report LAUNCHER_DIR [--full]: the text a player pastes into a support
// ticket. Versions, the system, the installed release, the patch source
// without its query, free space, what a start-up check finds (--full reads
// every file), the kept downloads and the end of the diagnostic log. Nothing
// in it is secret: the log holds none, and the patch source loses its query.

#include "base/diagnostic_log.h"
#include "base/install_files.h"
#include "base/utf8_paths.h"
#include "base/version.h"
#include "delivery/patch_source.h"
#include "tools/toolkit/toolkit.h"
#include "update/folder_work_lock.h"
#include "update/inspection.h"
#include "update/manifest.h"

#include <windows.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kLogLinesShown = 200;

std::string checkSummary(const fs::path& dir, const ReleaseManifest& installed, bool full) {
    UpdatePlan plan;
    std::string error;
    FolderWorkLock workLock;
    if (!workLock.acquire(dir, &error)) return "not made: " + error;
    const bool inspected =
        full ? inspectInstallation(dir, installed, nullptr, plan, &error)
             : inspectRecordedInstallation(dir, installed, nullptr, plan, InstallRecordUse::Trust, &error);
    if (!inspected) return "failed: " + error;
    std::size_t missing = 0;
    for (const ManifestFile& file : plan.filesToFetch) {
        std::error_code ec;
        if (!fs::exists(dir / file.path, ec)) ++missing;
    }
    return std::to_string(missing) + " missing, " + std::to_string(plan.filesToFetch.size() - missing) +
           " different, " + std::to_string(plan.obsoletePaths.size()) + " no longer in the release" +
           (full ? " (every file read)" : " (files unchanged since the last check not read)");
}

std::string keptDownloads(const fs::path& dir) {
    std::string text;
    std::error_code ec;
    fs::recursive_directory_iterator it(dir / kDownloadCacheName, ec);
    if (ec) return "  none\n";
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code sizeError;
        if (!it->is_regular_file(sizeError) || it->path().extension() != L".download") continue;
        text += "  " + genericPathUtf8(it->path().lexically_relative(dir / kDownloadCacheName)) + ", " +
                std::to_string(it->file_size(sizeError)) + " bytes\n";
    }
    return text.empty() ? "  none\n" : text;
}

// The last lines of launcher.log, reaching into launcher.log.1 when it is short.
std::string logTail(const fs::path& folder) {
    std::deque<std::string> lines;
    for (const wchar_t* name : {L"launcher.log.1", L"launcher.log"}) {
        std::ifstream in(folder / name, std::ios::binary);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line + "\n");
            if (lines.size() > kLogLinesShown) lines.pop_front();
        }
    }
    if (lines.empty()) return "  (no log)\n";
    std::string text;
    for (const std::string& line : lines) text += line;
    return text;
}

int reportCommand(const std::vector<std::string>& args) {
    const bool full = args.size() == 2 && args[1] == "--full";
    if (args.empty() || (args.size() == 2 && !full) || args.size() > 2) {
        toolkit::printError("usage: TinderhallowTool report LAUNCHER_DIR [--full]\n");
        return 2;
    }
    const fs::path dir = pathFromUtf8(args[0]);
    std::string text = "Tinderhallow support report\n";
    text += "Toolkit: " TINDERHALLOW_VERSION_TEXT "\nSystem: " + systemDescription() + "\n";
    text += "Launcher folder: " + pathToUtf8(dir) + "\n";

    const PatchSource source = classifyPatchSource(readPatchSource(dir));
    text +=
        "Patch source: " + (source.kind == PatchSourceKind::None ? std::string("none") : urlWithoutQuery(source.text)) +
        "\n";

    ULARGE_INTEGER freeBytes{};
    text += "Free space: " +
            (GetDiskFreeSpaceExW(dir.c_str(), &freeBytes, nullptr, nullptr)
                 ? std::to_string(freeBytes.QuadPart / (1024 * 1024)) + " MB"
                 : std::string("unknown")) +
            "\n";

    ReleaseManifest installed;
    std::string error;
    if (loadReleaseManifest(dir / kReleaseListName, installed, &error)) {
        text += "Installed release: " + installed.releaseId + ", sequence " +
                std::to_string(installed.releaseSequence) + "\n";
        text += "Start-up check: " + checkSummary(dir, installed, full) + "\n";
    } else {
        text += "Installed release: none (" + error + ")\n";
    }
    text += "Kept downloads:\n" + keptDownloads(dir);
    const fs::path logs = defaultLogFolder();
    text += "Log " + pathToUtf8(logs / L"launcher.log") + ", last lines:\n" + logTail(logs);
    toolkit::printOut(text);
    return 0;
}

}  // namespace

TOOLKIT_COMMAND("report", "LAUNCHER_DIR [--full]", reportCommand);
