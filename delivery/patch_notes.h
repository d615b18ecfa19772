#pragma once
// Published patch notes ("patch_notes.json" beside the release): the document
// read into the news cards and release notes that the window shows.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

struct NewsCard {
    std::string title;
    std::string date;
    std::string summary;
};

struct PatchNotesEntry {
    std::string title;
    std::vector<std::string> lines;
};

// Larger documents are treated like invalid ones: the notes are read whole.
inline constexpr std::uintmax_t kPatchNotesSizeLimit = 4u * 1024u * 1024u;

// Turns a document into the two lists. False when the text is not usable
// (not JSON, no "entries" array, or no accepted entry); the lists are then
// left as they were.
[[nodiscard]] bool parsePatchNotes(std::string_view text, std::vector<NewsCard>& newsCards,
                                   std::vector<PatchNotesEntry>& patchNotes);

// The same for a document file; a missing, unreadable or oversized file is
// not usable either.
[[nodiscard]] bool readPatchNotes(const std::filesystem::path& path, std::vector<NewsCard>& newsCards,
                                  std::vector<PatchNotesEntry>& patchNotes);
