#include "tests/support/test_paths.h"

#include "base/utf8_paths.h"
#include "update/file_hash.h"
#include "update/file_identity.h"
#include "update/sha256.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace {

std::filesystem::path unixToWindows(const char* variable) {
    const char* value = std::getenv(variable);
    if (value == nullptr || *value == '\0') return {};
    std::string text = value;
    if (text.front() == '/') text = "Z:" + text;  // Wine maps the Unix root to Z:
    return pathFromUtf8(text).make_preferred();
}

}  // namespace

std::filesystem::path sourceDir() { return unixToWindows("TINDERHALLOW_SOURCE_DIR"); }
std::filesystem::path buildDir() { return unixToWindows("TINDERHALLOW_BUILD_DIR"); }

ScratchDir::ScratchDir() {
    static std::atomic<int> counter{0};
    std::string name = "th_";
    if (const auto* info = ::testing::UnitTest::GetInstance()->current_test_info()) {
        name += std::string(info->test_suite_name()) + "_" + info->name();
    }
    name += "_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(counter++);
    std::error_code ec;
    path_ = std::filesystem::temp_directory_path(ec) / pathFromUtf8(name);
    std::filesystem::remove_all(path_, ec);
    std::filesystem::create_directories(path_, ec);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void writeTextFile(const std::filesystem::path& path, const std::string& bytes) {
    std::error_code ec;
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readTextFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string digestOf(const std::string& bytes) {
    std::uint8_t digest[32];
    sha256Portable(bytes.data(), bytes.size(), digest);
    return digestToHex(digest, sizeof digest);
}

void writeRelease(const std::filesystem::path& folder, const std::string& releaseId,
                  const std::map<std::string, std::string>& files, const std::string& members) {
    std::string list;
    for (const auto& [path, bytes] : files) {
        writeTextFile(folder / pathFromUtf8(path), bytes);
        if (!list.empty()) list += ",\n";
        list += "    {\"path\": \"" + path + "\", \"size\": " + std::to_string(bytes.size()) + ", \"sha256\": \"" +
                sha256FileHex(folder / pathFromUtf8(path)) + "\"}";
    }
    writeTextFile(folder / "update_manifest.json",
                  "{\n  " + members + "\"schemaVersion\": 1,\n  \"releaseId\": \"" + releaseId +
                      "\",\n  \"minimumLauncherVersion\": 1,\n  \"files\": [\n" + list + "\n  ]\n}\n");
}

FileHandle holdOpen(const std::filesystem::path& path, DWORD shareMode) {
    return FileHandle(CreateFileW(path.c_str(), GENERIC_READ, shareMode, nullptr, OPEN_EXISTING, 0, nullptr));
}

void setLastWriteTime(const std::filesystem::path& path, std::uint64_t ticks) {
    const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    const FileHandle file(
        CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file && SetFileTime(file.get(), nullptr, nullptr, &time)) << pathToUtf8(path);
}

// New bytes written into the file itself, its size, time and number kept: a
// change the record cannot see.
void overwriteKeepingIdentity(const std::filesystem::path& path, const std::string& bytes) {
    FileIdentity before;
    ASSERT_TRUE(readFileIdentity(path, before));
    ASSERT_EQ(before.size, bytes.size());
    {
        const FileHandle file(
            CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    }
    setLastWriteTime(path, before.lastWriteTime);
    FileIdentity after;
    ASSERT_TRUE(readFileIdentity(path, after));
    ASSERT_EQ(after, before);
}
