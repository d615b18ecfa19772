#include "update/manifest.h"

#include "base/utf8_paths.h"
#include "base/whole_file.h"
#include "update/windows_names.h"

#include <windows.h>

#include <algorithm>
#include <limits>
#include <new>
#include <string_view>
#include <utility>

namespace {

// The manifest's own reader: a lenient subset of JSON, one pass, and
// allocations only for the strings it keeps.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool readManifest(ReleaseManifest& manifest) {
        if (!expect('{')) return false;
        ++pos_;
        for (;;) {
            skipWhitespace();
            if (peekIs('}')) break;
            if (!readString(&key_)) return false;
            if (!expect(':')) return false;
            ++pos_;
            if (key_ == "schemaVersion") {
                if (!readVersion(manifest.schemaVersion)) return false;
            } else if (key_ == "minimumLauncherVersion") {
                if (!readVersion(manifest.minimumLauncherVersion)) return false;
            } else if (key_ == "releaseSequence") {
                // Absent means 0; written, it counts from 1, so 0 is no value.
                if (!readVersion(manifest.releaseSequence) || manifest.releaseSequence == 0) return false;
            } else if (key_ == "releaseId") {
                if (!readString(&manifest.releaseId)) return false;
            } else if (key_ == "files") {
                if (!readFileArray(manifest.files)) return false;
            } else if (!skipValue()) {
                return false;
            }
            skipWhitespace();
            if (peekIs('}')) break;
            if (!expect(',')) return false;
            ++pos_;
        }
        ++pos_;
        skipWhitespace();
        return pos_ == text_.size();
    }

private:
    static bool isWhitespace(char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    }
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

    void skipWhitespace() {
        while (pos_ < text_.size() && isWhitespace(text_[pos_])) ++pos_;
    }
    bool peekIs(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
    bool expect(char c) {
        skipWhitespace();
        return peekIs(c);
    }

    // With `out` null the string is only checked, not kept.
    bool readString(std::string* out) {
        if (!expect('"')) return false;
        ++pos_;
        if (out != nullptr) out->clear();
        while (pos_ < text_.size()) {
            char c = text_[pos_++];
            if (c == '"') return true;
            if (c == '\\') {
                if (pos_ >= text_.size()) return false;
                switch (text_[pos_++]) {
                    case '"': c = '"'; break;
                    case '/': c = '/'; break;
                    case '\\': c = '\\'; break;
                    case 'b': c = '\b'; break;
                    case 'f': c = '\f'; break;
                    case 'n': c = '\n'; break;
                    case 'r': c = '\r'; break;
                    case 't': c = '\t'; break;
                    default: return false;  // \u included
                }
            }
            if (out != nullptr) out->push_back(c);
        }
        return false;
    }

    // Digits only; a value that does not fit in 64 bits is refused rather
    // than wrapped, so a huge size can never pass for a small one.
    bool readUnsigned(std::uint64_t& value) {
        skipWhitespace();
        if (pos_ >= text_.size() || !isDigit(text_[pos_])) return false;
        constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
        value = 0;
        while (pos_ < text_.size() && isDigit(text_[pos_])) {
            const auto digit = static_cast<std::uint64_t>(text_[pos_] - '0');
            if (value > (max - digit) / 10) return false;
            value = value * 10 + digit;
            ++pos_;
        }
        return true;
    }

    bool readVersion(std::int32_t& field) {
        std::uint64_t value = 0;
        if (!readUnsigned(value) || value > 2147483647u) return false;
        field = static_cast<std::int32_t>(value);
        return true;
    }

    bool skipValue() {
        skipWhitespace();
        if (pos_ >= text_.size()) return true;
        const char first = text_[pos_];
        if (first == '"') return readString(nullptr);
        if (first == '{' || first == '[') {
            const char close = first == '{' ? '}' : ']';
            ++pos_;
            std::size_t depth = 1;
            bool inString = false;
            while (pos_ < text_.size()) {
                const char c = text_[pos_++];
                if (inString) {
                    if (c == '\\') {
                        ++pos_;
                    } else if (c == '"') {
                        inString = false;
                    }
                } else if (c == '"') {
                    inString = true;
                } else if (c == first) {
                    ++depth;
                } else if (c == close && --depth == 0) {
                    return true;
                }
            }
            return false;
        }
        while (pos_ < text_.size() && text_[pos_] != ',' && text_[pos_] != '}' && text_[pos_] != ']') ++pos_;
        return true;
    }

    bool readFileArray(std::vector<ManifestFile>& files) {
        if (!expect('[')) return false;
        ++pos_;
        for (;;) {
            skipWhitespace();
            if (peekIs(']')) {
                ++pos_;
                return true;
            }
            if (!expect('{')) return false;
            ++pos_;
            ManifestFile entry;
            for (;;) {
                skipWhitespace();
                if (peekIs('}')) break;
                if (!readString(&key_)) return false;
                if (!expect(':')) return false;
                ++pos_;
                if (key_ == "path") {
                    if (!readString(&scratch_)) return false;
                    entry.path = pathFromUtf8(scratch_);
                } else if (key_ == "size") {
                    if (!readUnsigned(entry.size)) return false;
                } else if (key_ == "sha256") {
                    if (!readString(&entry.sha256)) return false;
                } else if (!skipValue()) {
                    return false;
                }
                skipWhitespace();
                if (peekIs('}')) break;
                if (!expect(',')) return false;
                ++pos_;
            }
            ++pos_;
            if (!isSafeRelativePath(entry.path) || entry.sha256.size() != 64) return false;
            files.push_back(std::move(entry));
            skipWhitespace();
            if (peekIs(']')) {
                ++pos_;
                return true;
            }
            if (!expect(',')) return false;
            ++pos_;
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::string key_;      // reused for every key
    std::string scratch_;  // reused for every path text
};

bool isSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// Next element of a path in the order path iteration gives them: a leading
// separator run is a root element of its own, a trailing one yields a final
// empty element. Returns false when there is none left.
bool nextElement(std::wstring_view text, std::size_t& pos, std::wstring_view& element) {
    if (pos > text.size()) return false;
    if (pos == 0 && !text.empty() && isSeparator(text[0])) {
        while (pos < text.size() && isSeparator(text[pos])) ++pos;
        element = L"/";
        if (pos == text.size()) ++pos;
        return true;
    }
    if (pos == text.size()) {
        if (pos == 0) return false;
        ++pos;  // only reached after a trailing separator run
        element = {};
        return true;
    }
    const std::size_t start = pos;
    while (pos < text.size() && !isSeparator(text[pos])) ++pos;
    element = text.substr(start, pos - start);
    if (pos < text.size()) {
        while (pos < text.size() && isSeparator(text[pos])) ++pos;
    } else {
        ++pos;  // past the end: no trailing empty element
    }
    return true;
}

std::string collapsedSeparators(std::string text) {
    auto last = std::unique(text.begin(), text.end(), [](char a, char b) { return a == '/' && b == '/'; });
    text.erase(last, text.end());
    return text;
}

}  // namespace

bool isSafeRelativePath(const std::filesystem::path& path) {
    if (path.empty() || path.is_absolute() || path.has_root_name() || path.has_root_directory()) return false;
    for (const auto& element : path) {
        const std::wstring& name = element.native();
        if (name.empty() || name == L"." || name == L"..") return false;
        // "name:stream" is an alternate data stream, not a file; a NUL would
        // cut the path short at every Windows call.
        if (name.find_first_of(std::wstring_view(L":\0", 2)) != std::wstring::npos) return false;
        // Windows drops a trailing dot or space ("game.pak." is "game.pak"),
        // and opens a device for a device name: both would write elsewhere.
        if (name.back() == L'.' || name.back() == L' ' || isReservedDeviceName(name)) return false;
        // "GAMEDA~1.PAK" can be Windows' other name of "gamedata.pak".
        if (isShortNameAlias(name)) return false;
    }
    return true;
}

bool samePathElements(const std::filesystem::path& a, const std::filesystem::path& b) {
    const std::wstring_view left = a.native();
    const std::wstring_view right = b.native();
    std::size_t leftPos = 0;
    std::size_t rightPos = 0;
    std::wstring_view leftElement;
    std::wstring_view rightElement;
    for (;;) {
        const bool leftMore = nextElement(left, leftPos, leftElement);
        const bool rightMore = nextElement(right, rightPos, rightElement);
        if (leftMore != rightMore) return false;
        if (!leftMore) return true;
        if (leftElement != rightElement) return false;
    }
}

bool loadReleaseManifest(const std::filesystem::path& manifestPath, ReleaseManifest& out, std::string* error) {
    std::string text;
    if (readBounded(manifestPath, kNoReadLimit, text) != BoundedRead::Read) {
        if (error != nullptr) *error = "Could not open manifest: " + pathToUtf8(manifestPath);
        return false;
    }
    return parseReleaseManifest(text, manifestPath, out, error);
}

bool parseReleaseManifest(std::string_view text, const std::filesystem::path& displayPath, ReleaseManifest& out,
                          std::string* error) {
    ReleaseManifest manifest;
    bool duplicate = false;
    bool caseTwins = false;
    try {
        Reader reader(text);
        if (!reader.readManifest(manifest) || manifest.schemaVersion != 1 || manifest.releaseId.empty()) {
            if (error != nullptr) *error = "Manifest is invalid or unsupported: " + pathToUtf8(displayPath);
            return false;
        }

        // Order by the generic UTF-8 text; std::string compares bytes as
        // unsigned, so "B.pak" < "a.pak" < "a/b".
        std::vector<std::pair<std::string, std::size_t>> keys;
        keys.reserve(manifest.files.size());
        bool separatorRuns = false;
        for (std::size_t i = 0; i < manifest.files.size(); ++i) {
            keys.emplace_back(genericPathUtf8(manifest.files[i].path), i);
            separatorRuns = separatorRuns || keys.back().first.find("//") != std::string::npos;
        }
        std::sort(keys.begin(), keys.end());

        std::vector<ManifestFile> sorted;
        sorted.reserve(keys.size());
        for (const auto& key : keys) sorted.push_back(std::move(manifest.files[key.second]));
        manifest.files = std::move(sorted);

        for (std::size_t i = 1; i < manifest.files.size() && !duplicate; ++i) {
            duplicate = samePathElements(manifest.files[i - 1].path, manifest.files[i].path);
        }
        // "a//b" and "a/b" name one file but need not be neighbours in the
        // byte order ("a/a" sorts between them); compare them collapsed.
        std::vector<std::string> collapsed;
        if (!duplicate) {
            collapsed.reserve(keys.size());
            for (auto& key : keys) collapsed.push_back(collapsedSeparators(std::move(key.first)));
        }
        if (!duplicate && separatorRuns) {
            std::vector<std::string> ordered = collapsed;
            std::sort(ordered.begin(), ordered.end());
            duplicate = std::adjacent_find(ordered.begin(), ordered.end()) != ordered.end();
        }
        // Windows names one file by "Data/a.pak" and "data/A.pak": two such
        // entries would overwrite each other, and one could remove the other.
        if (!duplicate && collapsed.size() > 1) {
            std::vector<std::wstring> folded;
            folded.reserve(collapsed.size());
            for (const std::string& path : collapsed) folded.push_back(upperCaseName(utf8ToWide(path)));
            std::sort(folded.begin(), folded.end());
            for (std::size_t i = 1; i < folded.size() && !caseTwins; ++i) {
                caseTwins = sameNameIgnoringCase(folded[i - 1], folded[i]);
            }
        }
    } catch (const std::exception&) {
        if (error != nullptr) *error = "Manifest is invalid or unsupported: " + pathToUtf8(displayPath);
        return false;
    }
    if (duplicate) {
        if (error != nullptr) *error = "Manifest contains duplicate paths.";
        return false;
    }
    if (caseTwins) {
        if (error != nullptr) *error = "Manifest is invalid or unsupported: " + pathToUtf8(displayPath);
        return false;
    }

    out = std::move(manifest);
    if (error != nullptr) error->clear();
    return true;
}
