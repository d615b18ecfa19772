#include "delivery/patch_notes_worker.h"

#include "base/diagnostic_log.h"
#include "base/install_files.h"
#include "base/safe_remove.h"
#include "delivery/download_client.h"
#include "delivery/patch_notes.h"
#include "delivery/patch_source.h"
#include "ui/launcher_state.h"
#include "update/folder_work_lock.h"

#include <string>
#include <system_error>
#include <vector>

void loadPatchNotes(const std::filesystem::path& path) {
    std::vector<NewsCard> news;
    std::vector<PatchNotesEntry> notes;
    if (!readPatchNotes(path, news, notes)) return;
    replaceNews(std::move(news), std::move(notes));
}

void runPatchNotes() {
    try {
        const std::filesystem::path launcherDir = currentLauncherDir();
        const std::filesystem::path cacheFolder = launcherDir / kDownloadCacheName;
        const std::filesystem::path cachePath = cacheFolder / kPatchNotesName;
        loadPatchNotes(cachePath);
        const std::string source = readPatchSource(launcherDir);
        if (!isHttpUrl(source)) return;
        // Shared with this launcher's release check; another process's work
        // on the folder makes the notes wait for the next start.
        FolderWorkLock workLock;
        if (!workLock.acquire(launcherDir)) return;
        if (!removeLinksOnPath(launcherDir, cacheFolder)) return;
        std::error_code ec;
        std::filesystem::create_directories(cacheFolder, ec);
        if (downloadPatchFile(source, kPatchNotesUrlName, cachePath, atMost(kPatchNotesSizeLimit), nullptr, nullptr)) {
            loadPatchNotes(cachePath);
        }
    } catch (...) {
        // Notes are optional: nothing a bad document or source does may stop the launcher.
        logWarning("notes", "Fetching the patch notes stopped by an exception; none are shown.");
    }
}
