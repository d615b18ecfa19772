#include "delivery/patch_source.h"

#include "base/product.h"
#include "tests/support/test_paths.h"

#include <gtest/gtest.h>

namespace {

std::string readWith(const ScratchDir& launcherDir, const std::string& fileBytes) {
    writeTextFile(launcherDir / L"patch_source.txt", fileBytes);
    return readPatchSource(launcherDir.path());
}

TEST(ReadPatchSource, UsesTheBuiltInTestChannelWhenTheFileIsMissing) {
    ScratchDir launcherDir;
    const std::string builtIn = kDefaultPatchSource;
    EXPECT_EQ(readPatchSource(launcherDir.path()), builtIn);
    EXPECT_EQ(readPatchSource(launcherDir / L"not there"), builtIn);
    EXPECT_TRUE(builtIn.starts_with("https://"));
    EXPECT_TRUE(builtIn.ends_with("/test"));
}

TEST(ReadPatchSource, GivesAnEmptySourceForAnEmptyOrBlankFile) {
    ScratchDir launcherDir;
    EXPECT_EQ(readWith(launcherDir, ""), "");
    EXPECT_EQ(readWith(launcherDir, "   \t \r\n  \n\n"), "");
    EXPECT_EQ(readWith(launcherDir, "\v\f \r"), "");
}

TEST(ReadPatchSource, ReadsOnlyTheFirstLine) {
    ScratchDir launcherDir;
    EXPECT_EQ(readWith(launcherDir, "\nhttps://cdn.example/rel\n"), "");
    EXPECT_EQ(readWith(launcherDir, "\r\nhttps://cdn.example/rel\r\n"), "");
    EXPECT_EQ(readWith(launcherDir, "first\nsecond\n"), "first");
}

TEST(ReadPatchSource, TrimsSpacesAndCrLfAroundTheFirstLine) {
    ScratchDir launcherDir;
    EXPECT_EQ(readWith(launcherDir, "  https://cdn.example/rel \t\r\nhttps://other.example\r\n"),
              "https://cdn.example/rel");
    EXPECT_EQ(readWith(launcherDir, "\v\fD:\\releases\f\v"), "D:\\releases");
    EXPECT_EQ(readWith(launcherDir, "https://cdn.example/rel"), "https://cdn.example/rel");
}

TEST(ReadPatchSource, KeepsEverythingElseByteForByte) {
    ScratchDir launcherDir;
    EXPECT_EQ(readWith(launcherDir, "C:\\My Releases\\current \r\n"), "C:\\My Releases\\current");
    EXPECT_EQ(readWith(launcherDir, "\xEF\xBB\xBFhttps://cdn.example\n"), "\xEF\xBB\xBFhttps://cdn.example");
    EXPECT_EQ(readWith(launcherDir, "# comment\nhttps://cdn.example\n"), "# comment");
    // Ctrl-Z ends nothing: the file is read as bytes.
    EXPECT_EQ(readWith(launcherDir,
                       "rel\x1a"
                       "ease\n"),
              "rel\x1a"
              "ease");
}

TEST(ReadPatchSource, GivesAnEmptySourceForAFolderNamedLikeTheFile) {
    ScratchDir launcherDir;
    std::error_code ec;
    ASSERT_TRUE(std::filesystem::create_directory(launcherDir / L"patch_source.txt", ec));
    EXPECT_EQ(readPatchSource(launcherDir.path()), "");
}

TEST(ClassifyPatchSource, TellsRemoteLocalFolderAndNoneApart) {
    EXPECT_EQ(classifyPatchSource("https://cdn.example/rel").kind, PatchSourceKind::Remote);
    EXPECT_EQ(classifyPatchSource("HTTPS://CDN.EXAMPLE/rel").kind, PatchSourceKind::Remote);
    EXPECT_EQ(classifyPatchSource("Http://cdn.example").kind, PatchSourceKind::Remote);
    EXPECT_EQ(classifyPatchSource("releases\\current").kind, PatchSourceKind::LocalFolder);
    EXPECT_EQ(classifyPatchSource("\\\\server\\share\\rel").kind, PatchSourceKind::LocalFolder);
    EXPECT_EQ(classifyPatchSource("ftp://cdn.example").kind, PatchSourceKind::LocalFolder);
    EXPECT_EQ(classifyPatchSource("").kind, PatchSourceKind::None);
    EXPECT_EQ(classifyPatchSource("D:\\releases").text, "D:\\releases");
}

TEST(IsLocalTestServer, MatchesOnlyTheExactLoopbackPrefixes) {
    EXPECT_TRUE(isLocalTestServer("http://localhost:8080/rel"));
    EXPECT_TRUE(isLocalTestServer("http://127.0.0.1:9000"));
    EXPECT_TRUE(isLocalTestServer("http://localhost"));
    EXPECT_FALSE(isLocalTestServer("http://LOCALHOST:8080/rel"));
    EXPECT_FALSE(isLocalTestServer("HTTP://localhost:8080/rel"));
    EXPECT_FALSE(isLocalTestServer("https://localhost:8080/rel"));
    EXPECT_FALSE(isLocalTestServer("http://127.0.0.2:9000"));
    EXPECT_FALSE(isLocalTestServer("http://localhos"));
    EXPECT_EQ(classifyPatchSource("http://LOCALHOST:8080/rel").kind, PatchSourceKind::Remote);
}

class ResolveReleaseFolder : public ::testing::Test {
protected:
    std::wstring resolve(const std::string& text) { return resolveReleaseFolder(launcherDir, text).native(); }
    const std::filesystem::path launcherDir = L"C:\\Games\\Tinderhallow";
};

TEST_F(ResolveReleaseFolder, PutsARelativeFolderBelowTheLauncherFolder) {
    EXPECT_EQ(resolve("releases\\current"), L"C:\\Games\\Tinderhallow\\releases\\current");
    EXPECT_EQ(resolve("releases/current"), L"C:\\Games\\Tinderhallow\\releases/current");
}

TEST_F(ResolveReleaseFolder, UsesDrivePathsAndSharesUnchanged) {
    EXPECT_EQ(resolve("D:\\releases"), L"D:\\releases");
    EXPECT_EQ(resolve("D:/releases"), L"D:/releases");
    EXPECT_EQ(resolve("c:\\releases"), L"c:\\releases");
    EXPECT_EQ(resolve("\\\\server\\share\\rel"), L"\\\\server\\share\\rel");
    EXPECT_EQ(resolve("//server/share/rel"), L"//server/share/rel");
}

TEST_F(ResolveReleaseFolder, JoinsDriveRelativeFormsByTheWindowsRules) {
    EXPECT_EQ(resolve("C:releases"), L"C:\\Games\\Tinderhallow\\releases");
    EXPECT_EQ(resolve("c:releases"), L"C:\\Games\\Tinderhallow\\releases");
    EXPECT_EQ(resolve("C:"), L"C:\\Games\\Tinderhallow");
    EXPECT_EQ(resolve("D:releases"), L"D:releases");
    EXPECT_EQ(resolve("\\releases"), L"C:\\releases");
}

TEST_F(ResolveReleaseFolder, ReadsTheTextAsUtf8) {
    EXPECT_EQ(resolve("donn\xC3\xA9"
                      "es\\\xE2\x9A\x94"),
              L"C:\\Games\\Tinderhallow\\donn\u00E9es\\\u2694");
}

}  // namespace
