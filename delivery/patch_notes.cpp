#include "delivery/patch_notes.h"

#include "delivery/download_client.h"
#include "delivery/patch_source.h"
#include "update/folder_work_lock.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <iterator>
#include <mutex>

namespace {

using nlohmann::json;

// A member that is missing or not a string counts as empty.
std::string textMember(const json& object, const char* name) {
    auto found = object.find(name);
    if (found == object.end() || !found->is_string()) return {};
    return found->get_ref<const std::string&>();
}

}  // namespace

bool parsePatchNotes(std::string_view text, std::vector<NewsCard>& newsCards,
                     std::vector<PatchNotesEntry>& patchNotes) {
    const json document = json::parse(text.begin(), text.end(), nullptr, false, false);
    if (document.is_discarded() || !document.is_object()) return false;
    auto entries = document.find("entries");
    if (entries == document.end() || !entries->is_array()) return false;

    std::vector<NewsCard> news;
    std::vector<PatchNotesEntry> notes;
    for (const json& entry : *entries) {
        if (!entry.is_object()) continue;
        std::string title = textMember(entry, "title");
        if (title.empty()) continue;
        std::string date = textMember(entry, "date");
        PatchNotesEntry note;
        note.title = date + "   " + title;
        auto lines = entry.find("lines");
        if (lines != entry.end() && lines->is_array()) {
            for (const json& line : *lines) {
                if (!line.is_object()) continue;
                note.lines.push_back(textMember(line, "tag") + ": " + textMember(line, "text"));
            }
        }
        news.push_back({std::move(title), std::move(date), textMember(entry, "summary")});
        notes.push_back(std::move(note));
    }
    if (news.empty()) return false;
    newsCards = std::move(news);
    patchNotes = std::move(notes);
    return true;
}

void loadPatchNotes(const std::filesystem::path& path) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size > kPatchNotesSizeLimit) return;
    std::ifstream in(path, std::ios::binary);
    if (!in) return;
    std::string text(std::istreambuf_iterator<char>(in), {});

    std::vector<NewsCard> news;
    std::vector<PatchNotesEntry> notes;
    if (!parsePatchNotes(text, news, notes)) return;
    LauncherState& state = launcherState();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.newsCards = std::move(news);
        state.patchNotes = std::move(notes);
    }
    if (mainWindow != nullptr) InvalidateRect(mainWindow, nullptr, FALSE);
}

void runPatchNotes() {
    try {
        const std::filesystem::path launcherDir = launcherState().launcherDir;
        const std::filesystem::path cacheFolder = launcherDir / L".patch_remote";
        const std::filesystem::path cachePath = cacheFolder / L"patch_notes.json";
        loadPatchNotes(cachePath);
        const std::string source = readPatchSource(launcherDir);
        if (!isHttpUrl(source)) return;
        // Shared with this launcher's release check; another process's work
        // on the folder makes the notes wait for the next start.
        FolderWorkLock workLock;
        if (!workLock.acquire(launcherDir)) return;
        std::error_code ec;
        std::filesystem::create_directories(cacheFolder, ec);
        if (downloadPatchFile(source, "patch_notes.json", cachePath, atMost(kPatchNotesSizeLimit), nullptr, nullptr)) {
            loadPatchNotes(cachePath);
        }
    } catch (...) {
        // Notes are optional: nothing a bad document or source does may stop the launcher.
    }
}
