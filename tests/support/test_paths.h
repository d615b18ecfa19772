#pragma once
// Where tests find the source tree and make their scratch folders, and the
// files they write, hash and hold.

#include "base/handles.h"

#include <filesystem>
#include <map>
#include <string>

// The source tree as a Windows path (TINDERHALLOW_SOURCE_DIR, a Unix path).
std::filesystem::path sourceDir();
// The build tree as a Windows path (TINDERHALLOW_BUILD_DIR).
std::filesystem::path buildDir();

// A fresh, empty folder below the temporary folder, removed by the
// destructor. Named after the running test.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& relative) const { return path_ / relative; }

private:
    std::filesystem::path path_;
};

void writeTextFile(const std::filesystem::path& path, const std::string& bytes);
std::string readTextFile(const std::filesystem::path& path);

// The lower-case hex SHA-256 of `bytes`.
std::string digestOf(const std::string& bytes);

// A release folder written file by file, with its manifest; `members` are
// more top-level members, each followed by a comma.
void writeRelease(const std::filesystem::path& folder, const std::string& releaseId,
                  const std::map<std::string, std::string>& files, const std::string& members = "");

// Sets a file's last-write time (FILETIME ticks).
void setLastWriteTime(const std::filesystem::path& path, std::uint64_t ticks);

// New bytes of the same length written into the file itself, its size, time
// and number kept: a change no identity can see.
void overwriteKeepingIdentity(const std::filesystem::path& path, const std::string& bytes);

// An existing file held open for reading with `shareMode`, the way a running
// game holds it; holds nothing when it cannot be opened.
FileHandle holdOpen(const std::filesystem::path& path, DWORD shareMode);
