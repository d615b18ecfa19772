#pragma once
// Published patch notes ("patch_notes.json" beside the release): the news
// cards and release notes shown by the window, cached in ".patch_remote".

#include "ui/launcher_state.h"

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

// Larger documents are treated like invalid ones: the notes are read whole.
inline constexpr std::uintmax_t kPatchNotesSizeLimit = 4u * 1024u * 1024u;

// Turns a document into the two lists. False when the text is not usable
// (not JSON, no "entries" array, or no accepted entry); the lists are then
// left as they were.
[[nodiscard]] bool parsePatchNotes(std::string_view text, std::vector<NewsCard>& newsCards,
                                   std::vector<PatchNotesEntry>& patchNotes);

// Reads the document and, when it yields entries, replaces both lists of the
// launcher state and repaints the window. Never reports an error.
void loadPatchNotes(const std::filesystem::path& path);

// Thread body: cached notes first, then a fresh download for a remote source.
void runPatchNotes();
