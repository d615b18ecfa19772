// The built programs' resources as Windows reads them: the first icon group
// (Explorer, shortcuts, taskbar), the version information (Explorer's
// Properties > Details) and the application manifest (read by the loader at
// process start). Each is printed, so the test's output shows them.

#include "base/utf8_paths.h"
#include "base/version.h"
#include "tests/support/test_paths.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <iostream>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

#pragma pack(push, 2)
struct GroupIconHeader {
    WORD reserved;
    WORD type;
    WORD count;
};
struct GroupIconEntry {
    BYTE width;
    BYTE height;
    BYTE colorCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytesInRes;
    WORD id;
};
#pragma pack(pop)

class LoadedModule {
public:
    explicit LoadedModule(const fs::path& path)
        : module_(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
    ~LoadedModule() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

struct ResourceBytes {
    const BYTE* data = nullptr;
    DWORD size = 0;
};

ResourceBytes resource(HMODULE module, LPCWSTR name, LPCWSTR type) {
    HRSRC found = FindResourceW(module, name, type);
    if (found == nullptr) return {};
    HGLOBAL loaded = LoadResource(module, found);
    if (loaded == nullptr) return {};
    return {static_cast<const BYTE*>(LockResource(loaded)), SizeofResource(module, found)};
}

BOOL CALLBACK takeFirstName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
    auto* first = reinterpret_cast<std::wstring*>(param);
    *first = IS_INTRESOURCE(name) ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(name)) : std::wstring(name);
    return FALSE;
}

std::string versionString(const std::vector<BYTE>& block, const char* name) {
    const std::wstring key = L"\\StringFileInfo\\040904B0\\" + utf8ToWide(name);
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), key.c_str(), &value, &length) || value == nullptr) return "(missing)";
    return wideToUtf8(static_cast<const wchar_t*>(value));
}

struct Program {
    const char* file;
    const char* description;
    const char* manifestName;
};

void checkProgram(const Program& program) {
    const fs::path path = buildDir() / program.file;
    SCOPED_TRACE(program.file);
    std::cout << "== " << program.file << "\n";

    LoadedModule module(path);
    ASSERT_NE(module.get(), nullptr) << "cannot load " << wideToUtf8(path.wstring());

    // The first icon group is the one the shell shows for the file.
    std::wstring firstGroup;
    EnumResourceNamesW(module.get(), RT_GROUP_ICON, takeFirstName, reinterpret_cast<LONG_PTR>(&firstGroup));
    EXPECT_EQ(wideToUtf8(firstGroup), "#1");
    const ResourceBytes group = resource(module.get(), MAKEINTRESOURCEW(1), RT_GROUP_ICON);
    ASSERT_GE(group.size, sizeof(GroupIconHeader));
    const auto* header = reinterpret_cast<const GroupIconHeader*>(group.data);
    ASSERT_EQ(group.size, sizeof(GroupIconHeader) + header->count * sizeof(GroupIconEntry));
    const auto* entries = reinterpret_cast<const GroupIconEntry*>(group.data + sizeof(GroupIconHeader));
    std::set<int> sizes;
    std::cout << "icon group 1:";
    for (WORD i = 0; i < header->count; ++i) {
        const GroupIconEntry& entry = entries[i];
        const int width = entry.width == 0 ? 256 : entry.width;
        const int height = entry.height == 0 ? 256 : entry.height;
        std::cout << " " << width << "x" << height << "x" << entry.bitCount;
        EXPECT_EQ(width, height);
        EXPECT_EQ(entry.bitCount, 32) << width;
        sizes.insert(width);
        // Every image decodes as the icon of its size.
        const ResourceBytes image = resource(module.get(), MAKEINTRESOURCEW(entry.id), RT_ICON);
        ASSERT_EQ(image.size, entry.bytesInRes) << width;
        HICON icon = CreateIconFromResourceEx(const_cast<BYTE*>(image.data), image.size, TRUE, 0x00030000, width,
                                              height, LR_DEFAULTCOLOR);
        EXPECT_NE(icon, nullptr) << width;
        if (icon != nullptr) DestroyIcon(icon);
    }
    std::cout << "\n";
    EXPECT_EQ(sizes, (std::set<int>{16, 20, 24, 32, 40, 48, 64, 96, 128, 256}));

    // Version information through the same calls as Explorer's details page.
    DWORD ignored = 0;
    const DWORD infoSize = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(infoSize, 0u);
    std::vector<BYTE> block(infoSize);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, infoSize, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedLength = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedLength));
    const DWORD expectedMs = MAKELONG(TINDERHALLOW_VERSION_MINOR, TINDERHALLOW_VERSION_MAJOR);
    const DWORD expectedLs = MAKELONG(0, TINDERHALLOW_VERSION_PATCH);
    EXPECT_EQ(fixed->dwFileVersionMS, expectedMs);
    EXPECT_EQ(fixed->dwFileVersionLS, expectedLs);
    EXPECT_EQ(fixed->dwProductVersionMS, expectedMs);
    EXPECT_EQ(fixed->dwProductVersionLS, expectedLs);
    const std::vector<std::pair<const char*, std::string>> strings = {
        {"ProductName", "Tinderhallow"},
        {"FileDescription", program.description},
        {"CompanyName", TINDERHALLOW_PUBLISHER},
        {"FileVersion", TINDERHALLOW_VERSION_TEXT},
        {"ProductVersion", TINDERHALLOW_VERSION_TEXT},
        {"OriginalFilename", program.file},
    };
    for (const auto& [name, expected] : strings) {
        const std::string value = versionString(block, name);
        std::cout << name << ": " << value << "\n";
        EXPECT_EQ(value, expected) << name;
    }

    // The manifest the loader reads at process start.
    const ResourceBytes manifest = resource(module.get(), CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST);
    ASSERT_NE(manifest.data, nullptr);
    const std::string text(reinterpret_cast<const char*>(manifest.data), manifest.size);
    std::cout << "manifest:\n" << text << "\n";
    const std::vector<std::string> required = {
        std::string("name=\"Tinderhallow.") + program.manifestName + "\" version=\"" TINDERHALLOW_VERSION_TEXT ".0\"",
        "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
        "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>",
        ">true/pm</dpiAware>",
        ">PerMonitorV2, PerMonitor</dpiAwareness>",
        ">true</longPathAware>",
        "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
    };
    for (const std::string& part : required) EXPECT_NE(text.find(part), std::string::npos) << part;
}

}  // namespace

TEST(ProgramResources, LauncherAndToolkitCarryIconVersionInformationAndManifest) {
    checkProgram({"Tinderhallow.exe", "Tinderhallow Launcher", "Tinderhallow"});
    checkProgram({"TinderhallowTool.exe", "Tinderhallow Toolkit", "TinderhallowTool"});
}
