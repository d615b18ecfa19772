#include "update/install_index.h"

#include "base/utf8_paths.h"
#include "base/whole_file.h"
#include "base/windows_error.h"
#include "update/file_hash.h"
#include "update/sha256.h"

#include <windows.h>

#include <algorithm>
#include <charconv>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kHeader = "tinderhallow-patch-index 1\n";

std::string digestOfText(std::string_view text) {
    Sha256Stream stream;
    sha256Begin(stream);
    sha256Feed(stream, text.data(), text.size());
    std::uint8_t digest[32];
    sha256Finish(stream, digest);
    return digestToHex(digest, sizeof digest);
}

bool isDigestText(std::string_view text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(),
                                            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// A path the format can hold: one line, no field separator in front of it
// that could be mistaken (the path is the rest of its line).
bool isStorableKey(std::string_view key) {
    return !key.empty() && std::none_of(key.begin(), key.end(),
                                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

template <typename Number>
bool parseNumber(std::string_view text, int base, std::size_t exactDigits, Number& value) {
    if (text.empty() || (exactDigits != 0 && text.size() != exactDigits)) return false;
    // from_chars takes a sign; the format has none, and no upper-case hex.
    for (char c : text) {
        const bool digit = c >= '0' && c <= '9';
        const bool hex = base == 16 && c >= 'a' && c <= 'f';
        if (!digit && !hex) return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc() && end == text.data() + text.size();
}

template <typename Number>
std::string hexText(Number value, int digits) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i) {
        text[static_cast<std::size_t>(i)] = kDigits[value & 0xf];
        value >>= 4;
    }
    return text;
}

// Splits off the text up to the next space; false when there is none.
bool nextField(std::string_view& line, std::string_view& field) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) return false;
    field = line.substr(0, space);
    line.remove_prefix(space + 1);
    return true;
}

std::string folderLine(const FolderIdentity& folder) {
    return "folder " + hexText(folder.volumeSerial, 8) + " " + hexText(folder.folderIndex, 16) + "\n";
}

bool parseRecord(std::string_view text, const FolderIdentity& folder, InstallIndex& index) {
    // The end line closes the record; a record cut short anywhere has none.
    if (text.size() < kHeader.size() || text.substr(0, kHeader.size()) != kHeader || text.back() != '\n') return false;
    const std::size_t endLine = text.rfind('\n', text.size() - 2);
    if (endLine == std::string_view::npos) return false;
    const std::string_view body = text.substr(0, endLine + 1);
    std::string_view end = text.substr(endLine + 1, text.size() - endLine - 2);
    std::string_view field;
    std::size_t count = 0;
    if (!nextField(end, field) || field != "end" || !nextField(end, field) || !parseNumber(field, 10, 0, count) ||
        end != digestOfText(body))
        return false;

    std::string_view rest = body.substr(kHeader.size());
    const std::string expectedFolder = folderLine(folder);
    if (rest.substr(0, expectedFolder.size()) != expectedFolder) return false;
    rest.remove_prefix(expectedFolder.size());

    InstallIndex result;
    // The count is the record's own word: no more than its lines could hold.
    result.files.reserve(std::min(count, rest.size() / 64));
    while (!rest.empty()) {
        const std::size_t lineEnd = rest.find('\n');
        std::string_view line = rest.substr(0, lineEnd);
        rest.remove_prefix(lineEnd + 1);
        std::string_view digest, size, time, fileIndex;
        IndexedFile entry;
        if (!nextField(line, digest) || !isDigestText(digest) || !nextField(line, size) ||
            !parseNumber(size, 10, 0, entry.identity.size) || !nextField(line, time) ||
            !parseNumber(time, 10, 0, entry.identity.lastWriteTime) || !nextField(line, fileIndex) ||
            !parseNumber(fileIndex, 16, 16, entry.identity.fileIndex) || !isStorableKey(line))
            return false;
        entry.sha256.assign(digest);
        if (!result.files.emplace(std::string(line), std::move(entry)).second) return false;
    }
    if (result.files.size() != count) return false;
    index = std::move(result);
    return true;
}

}  // namespace

std::string installIndexKey(const fs::path& path) { return genericPathUtf8(path); }

bool loadInstallIndex(const fs::path& installDir, InstallIndex& index) {
    index.files.clear();
    FolderIdentity folder;
    std::string text;
    try {
        return readFolderIdentity(installDir, folder) &&
               readBounded(installDir / kInstallIndexName, kMaxInstallIndexBytes, text) == BoundedRead::Read &&
               parseRecord(text, folder, index);
    } catch (const std::exception&) {
        index.files.clear();  // out of memory for a huge record: read the files instead
        return false;
    }
}

bool saveInstallIndex(const fs::path& installDir, const InstallIndex& index, std::string* error) {
    const fs::path target = installDir / kInstallIndexName;
    fs::path temporary = target;
    temporary += L".new";
    FolderIdentity folder;
    if (!readFolderIdentity(installDir, folder))
        return appendWindowsError("Could not write " + pathToUtf8(target), error);

    std::string text;
    try {
        std::vector<const std::pair<const std::string, IndexedFile>*> entries;
        entries.reserve(index.files.size());
        for (const auto& entry : index.files) {
            if (isStorableKey(entry.first) && isDigestText(entry.second.sha256)) entries.push_back(&entry);
        }
        // Sorted, so the same knowledge always gives the same file.
        std::sort(entries.begin(), entries.end(), [](auto* a, auto* b) { return a->first < b->first; });
        text.reserve(128 + entries.size() * 160);
        text += kHeader;
        text += folderLine(folder);
        for (const auto* entry : entries) {
            const FileIdentity& identity = entry->second.identity;
            text += entry->second.sha256;
            text += ' ' + std::to_string(identity.size) + ' ' + std::to_string(identity.lastWriteTime) + ' ' +
                    hexText(identity.fileIndex, 16) + ' ';
            text += entry->first;
            text += '\n';
        }
        text += "end " + std::to_string(entries.size()) + " " + digestOfText(text) + "\n";
    } catch (const std::exception&) {
        if (error) *error = "Could not write " + pathToUtf8(target) + ": not enough memory.";
        return false;
    }
    if (text.size() > kMaxInstallIndexBytes) {
        if (error) *error = "Could not write " + pathToUtf8(target) + ": the record would be too large.";
        return false;
    }

    // No flush: a rename that reaches the disk before the data leaves a
    // record whose end line does not match, and that is ignored.
    WriteFailure failure;
    if (!replaceWholeFile(target, temporary, {text}, true, &failure)) {
        const fs::path& failed = failure.step == WriteFailure::Step::Move ? target : temporary;
        if (error) *error = withWindowsError("Could not write " + pathToUtf8(failed), failure.code);
        return false;
    }
    if (error) error->clear();
    return true;
}

const IndexedFile* unchangedEntry(const InstallIndex& index, const std::string& key, const FileIdentity& current) {
    const auto found = index.files.find(key);
    if (found == index.files.end() || !(found->second.identity == current)) return nullptr;
    return &found->second;
}

bool recordFile(InstallIndex& index, const std::string& key, const std::string& sha256, const FileIdentity& identity,
                std::uint64_t seenAt) {
    const bool settled = identity.lastWriteTime <= seenAt && seenAt - identity.lastWriteTime >= kSettledTicks;
    // A volume that numbers no files cannot tell a file put in place of the
    // recorded one, with its size and time, from that one.
    const bool numbered = identity.fileIndex != 0;
    if (!settled || !numbered || !isStorableKey(key) || !isDigestText(sha256)) {
        index.files.erase(key);
        return false;
    }
    index.files.insert_or_assign(key, IndexedFile{sha256, identity});
    return true;
}
