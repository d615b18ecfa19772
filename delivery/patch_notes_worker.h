#pragma once
// The patch-notes worker: shows the cached notes, then fetches fresh ones
// from a remote patch source into ".patch_remote".

#include <filesystem>

// Reads the document and, when it yields entries, replaces both lists of the
// launcher state (the window follows). Never reports an error.
void loadPatchNotes(const std::filesystem::path& path);

// Thread body: cached notes first, then a fresh download for a remote source.
void runPatchNotes();
