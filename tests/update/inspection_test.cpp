#include "update/inspection.h"

#include "tests/support/test_paths.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>

namespace {

ManifestFile entryFor(const std::string& path, const std::string& bytes) {
    return ManifestFile{path, bytes.size(), digestOf(bytes)};
}

ReleaseManifest manifestOf(std::vector<ManifestFile> files) {
    ReleaseManifest manifest;
    manifest.schemaVersion = 1;
    manifest.releaseId = "r1";
    manifest.files = std::move(files);
    return manifest;
}

std::vector<std::string> genericPaths(const std::vector<std::filesystem::path>& paths) {
    std::vector<std::string> texts;
    for (const auto& path : paths) texts.push_back(path.generic_string());
    return texts;
}

std::vector<std::string> fetchedPaths(const UpdatePlan& plan) {
    std::vector<std::string> texts;
    for (const auto& file : plan.filesToFetch) texts.push_back(file.path.generic_string());
    return texts;
}

using Paths = std::vector<std::string>;

}  // namespace

TEST(InstalledFiles, CountAsInstalledOnlyWithMatchingSizeAndDigest) {
    ScratchDir dir;
    writeTextFile(dir / "current.pak", "current content");
    writeTextFile(dir / "changed.pak", "changed content");
    const ReleaseManifest manifest = manifestOf({
        entryFor("changed.pak", "changed contenT"),  // same size, one byte differs
        entryFor("current.pak", "current content"),
        entryFor("missing.pak", "never written"),
    });
    UpdatePlan plan;
    ASSERT_TRUE(inspectInstallation(dir.path(), manifest, nullptr, plan));
    EXPECT_EQ(fetchedPaths(plan), (Paths{"changed.pak", "missing.pak"}));
    EXPECT_EQ(plan.bytesToFetch, 15u + 13u);
}

TEST(InstalledFiles, FileOfAnotherSizeIsFetchedEvenWithMatchingContent) {
    ScratchDir dir;
    writeTextFile(dir / "a.pak", "abc");
    ManifestFile entry = entryFor("a.pak", "abc");
    entry.size = 4;
    UpdatePlan plan;
    ASSERT_TRUE(inspectInstallation(dir.path(), manifestOf({entry}), nullptr, plan));
    EXPECT_EQ(fetchedPaths(plan), (Paths{"a.pak"}));
    EXPECT_EQ(plan.bytesToFetch, 4u);
}

TEST(InstalledFiles, FolderAtAFilePathIsFetched) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / "maps");
    UpdatePlan plan;
    ASSERT_TRUE(inspectInstallation(dir.path(), manifestOf({ManifestFile{"maps", 0, digestOf("")}}), nullptr, plan));
    EXPECT_EQ(fetchedPaths(plan), (Paths{"maps"}));
}

TEST(InstalledFiles, UpperCaseDigestNeverMatches) {
    ScratchDir dir;
    writeTextFile(dir / "a.pak", "abc");
    ManifestFile entry = entryFor("a.pak", "abc");
    std::transform(entry.sha256.begin(), entry.sha256.end(), entry.sha256.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    UpdatePlan plan;
    ASSERT_TRUE(inspectInstallation(dir.path(), manifestOf({entry}), nullptr, plan));
    EXPECT_EQ(fetchedPaths(plan), (Paths{"a.pak"}));
}

TEST(InstalledFiles, FileLockedAgainstReadingIsFetched) {
    ScratchDir dir;
    writeTextFile(dir / "a.pak", "abc");
    FileHandle handle = holdOpen(dir / "a.pak", 0);
    ASSERT_TRUE(handle);
    UpdatePlan plan;
    const bool inspected = inspectInstallation(dir.path(), manifestOf({entryFor("a.pak", "abc")}), nullptr, plan);
    handle.reset();
    ASSERT_TRUE(inspected);
    EXPECT_EQ(fetchedPaths(plan), (Paths{"a.pak"}));
}

TEST(InstalledFiles, NothingToFetchGivesZeroBytesAndClearsTheError) {
    ScratchDir dir;
    writeTextFile(dir / "sub/a.pak", "abc");
    UpdatePlan plan;
    plan.filesToFetch.push_back(entryFor("stale", "x"));
    plan.obsoletePaths.push_back("stale");
    plan.bytesToFetch = 99;
    std::string error = "earlier";
    ASSERT_TRUE(inspectInstallation(dir.path(), manifestOf({entryFor("sub/a.pak", "abc")}), nullptr, plan, &error));
    EXPECT_TRUE(plan.filesToFetch.empty());
    EXPECT_TRUE(plan.obsoletePaths.empty());
    EXPECT_EQ(plan.bytesToFetch, 0u);
    EXPECT_EQ(error, "");
}

TEST(ObsoletePaths, NeedAnOlderManifest) {
    ScratchDir dir;
    writeTextFile(dir / "unlisted.pak", "x");
    UpdatePlan plan;
    ASSERT_TRUE(inspectInstallation(dir.path(), manifestOf({entryFor("b", "b")}), nullptr, plan));
    EXPECT_TRUE(plan.obsoletePaths.empty());
}

TEST(ObsoletePaths, AreOlderPathsTheNewReleaseNoLongerLists) {
    ScratchDir dir;
    writeTextFile(dir / "a", "a");
    writeTextFile(dir / "b", "old b");
    const ReleaseManifest older = manifestOf({entryFor("a", "a"), entryFor("b", "old b")});
    const ReleaseManifest newer = manifestOf({entryFor("b", "new b"), entryFor("c", "c")});
    UpdatePlan plan;
    ASSERT_TRUE(inspectInstallation(dir.path(), newer, &older, plan));
    EXPECT_EQ(genericPaths(plan.obsoletePaths), (Paths{"a"}));
    EXPECT_EQ(fetchedPaths(plan), (Paths{"b", "c"}));
}

TEST(ObsoletePaths, SameManifestTwiceGivesNone) {
    ScratchDir dir;
    const ReleaseManifest manifest = manifestOf({entryFor("a", "a"), entryFor("d/b", "b")});
    UpdatePlan plan;
    ASSERT_TRUE(inspectInstallation(dir.path(), manifest, &manifest, plan));
    EXPECT_TRUE(plan.obsoletePaths.empty());
    EXPECT_EQ(fetchedPaths(plan), (Paths{"a", "d/b"}));
}

TEST(ObsoletePaths, CompareSeparatorsAlikeButLetterCaseExactly) {
    ScratchDir dir;
    const ReleaseManifest older =
        manifestOf({entryFor("Data/x.pak", "x"), entryFor("maps\\\\one.map", "1"), entryFor("maps/two.map", "2")});
    const ReleaseManifest newer =
        manifestOf({entryFor("data/x.pak", "x"), entryFor("maps/one.map", "1"), entryFor("maps//two.map", "2")});
    UpdatePlan plan;
    ASSERT_TRUE(inspectInstallation(dir.path(), newer, &older, plan));
    EXPECT_EQ(genericPaths(plan.obsoletePaths), (Paths{"Data/x.pak"}));
}

TEST(ObsoletePaths, DropUnsafeOlderPaths) {
    ScratchDir dir;
    const ReleaseManifest older =
        manifestOf({entryFor("../outside", "x"), entryFor("C:/x", "x"), entryFor("/root", "x"), entryFor("a/./b", "x"),
                    entryFor("", "x"), entryFor("kept", "x")});
    UpdatePlan plan;
    ASSERT_TRUE(inspectInstallation(dir.path(), manifestOf({}), &older, plan));
    EXPECT_EQ(genericPaths(plan.obsoletePaths), (Paths{"kept"}));
}
