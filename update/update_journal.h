#pragma once
// What an update changed in the installation, kept so that a failure can put
// it all back, and the moves that make room for a new file.

#include "update/file_identity.h"
#include "update/inspection.h"
#include "update/windows_names.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// A path's elements, split at either separator; views into `text`.
std::vector<std::wstring_view> pathElements(const std::wstring& text);

// Manifest paths matched the way Windows matches file names: element by
// element, ignoring case. An obsolete path that names a file of the new
// release is that file under another spelling (Data/x.pak against
// data/x.pak) and must not be removed.
class CaselessPaths {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    CaselessPaths() = default;
    CaselessPaths(const CaselessPaths&) = delete;  // the index holds views into its own texts
    CaselessPaths& operator=(const CaselessPaths&) = delete;
    void add(const std::filesystem::path& path) {
        Entry entry{path.native(), {}};
        entries_.push_back(std::move(entry));
    }
    void index() {
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            entries_[i].elements = pathElements(entries_[i].text);
            if (!entries_[i].elements.empty()) byLastLength_.emplace(entries_[i].elements.back().size(), i);
        }
    }
    // The position of the first added path that names `path`, or npos.
    std::size_t find(const std::filesystem::path& path) const {
        const std::wstring& text = path.native();
        const std::vector<std::wstring_view> elements = pathElements(text);
        if (elements.empty()) return npos;
        std::size_t found = npos;
        auto [first, last] = byLastLength_.equal_range(elements.back().size());
        for (auto it = first; it != last; ++it) {
            if (it->second < found && sameIgnoringCase(entries_[it->second].elements, elements)) found = it->second;
        }
        return found;
    }
    bool contains(const std::filesystem::path& path) const { return find(path) != npos; }

private:
    struct Entry {
        std::wstring text;
        std::vector<std::wstring_view> elements;  // views into text
    };
    static bool sameIgnoringCase(const std::vector<std::wstring_view>& a, const std::vector<std::wstring_view>& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (a[i].size() != b[i].size() || !sameNameIgnoringCase(a[i], b[i])) return false;
        }
        return true;
    }
    std::vector<Entry> entries_;  // not resized after index()
    std::unordered_multimap<std::size_t, std::size_t> byLastLength_;
};

// What this update changed in the installation, in order; the undo walks it
// backwards, so a file put where a folder stood goes before the folder and
// its files come back.
enum class Change { Replaced, Added, Removed, FolderAdded, FolderRemoved };

struct Touched {
    std::filesystem::path path;  // relative to the install folder
    Change change;
};

struct Journal {
    std::filesystem::path installDir;
    std::filesystem::path rollbackDir;
    CaselessPaths releaseNames;      // every path of the new release
    CaselessPaths obsoleteNames;     // the plan's obsolete paths, unsafe ones left empty
    std::vector<bool> removedEarly;  // by obsolete position: moved out of a new file's way
    std::vector<Touched> touched;
};

// What the record may learn of one file of the plan: the file put in place
// holds the verified bytes only while nothing wrote to the staged copy after
// its check, nor to the copy put in place after it was made.
struct PlacedFile {
    std::optional<FileIdentity> verified;  // of the staged copy, through its check
    std::optional<FileIdentity> placed;    // of the copy put in place (replaceFile)
    std::uint64_t copiedAt = 0;            // the time just before that copy was made
};

// Copies an installed file into the rollback folder.
bool backUp(const Journal& journal, const std::filesystem::path& relative, std::string* error);

// Backs up an obsolete file, removes it and records the removal.
bool removeObsoleteFile(Journal& journal, const std::filesystem::path& relative, std::string* error);

// Restores what the journal records, newest first. Returns the path of the
// first change that could not be undone (generic form), empty when all were.
std::string undo(const Journal& journal);

// Makes room for the new file at `relative`: an obsolete file where the path
// needs a folder, or a folder of obsolete files where it needs a file (the
// release turned a folder into a file or the reverse), is backed up and
// removed. Anything else in the way stays and fails the step. Folders the
// new file's copy will create are recorded for the undo.
bool clearWayFor(Journal& journal, const std::filesystem::path& relative, std::string* error);

// Each file put in place is a copy of its verified staged copy, and the
// copies keep the staged copy's last-write time: the record learns the
// entry's digest with the placed file's identity, so the next start need not
// read it. Removed files leave the record.
void recordAppliedFiles(const Journal& journal, const UpdatePlan& plan, const std::vector<PlacedFile>& files);

// After an undo the record may claim nothing about the files touched.
void forgetTouchedFiles(const Journal& journal);
