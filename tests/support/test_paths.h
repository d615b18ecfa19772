#pragma once
// Where tests find the source tree and make their scratch folders.

#include <filesystem>
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
