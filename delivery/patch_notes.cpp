#include "delivery/patch_notes.h"

#include "base/whole_file.h"

#include <nlohmann/json.hpp>

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

bool readPatchNotes(const std::filesystem::path& path, std::vector<NewsCard>& newsCards,
                    std::vector<PatchNotesEntry>& patchNotes) {
    std::string text;
    if (readBounded(path, kPatchNotesSizeLimit, text) != BoundedRead::Read) return false;
    return parsePatchNotes(text, newsCards, patchNotes);
}
